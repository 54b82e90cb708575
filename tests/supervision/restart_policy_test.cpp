#include "supervision/restart_policy.h"

#include <gtest/gtest.h>

#include <memory>

#include "support/scratch_tree.h"

namespace {

TEST(restart_policy, decisions_for_every_kind_of_ending) {
  const struct {
    int code;
    int normal_exit;
    ending_action action;
  } table[] = {
      {0, 1, ending_action::restart_normal},    {3, 1, ending_action::restart_normal},
      {11, 1, ending_action::restart_normal},   {129, 1, ending_action::failed_boot},
      {130, 1, ending_action::install_upgrade}, {131, 1, ending_action::install_upgrade},
      {132, 1, ending_action::install_upgrade}, {133, 1, ending_action::restart_normal},
      {160, 1, ending_action::new_cycle},       {199, 1, ending_action::restart_normal},
      {11, 0, ending_action::restart_crash},    {9, 0, ending_action::restart_normal},
      {199, 0, ending_action::restart_normal},  {129, 0, ending_action::restart_normal},
      {15, 0, ending_action::restart_normal},
  };
  for (const auto& row : table)
    EXPECT_EQ(decide_ending(row.code, row.normal_exit), row.action)
        << row.code << " normal " << row.normal_exit;
}

TEST(restart_policy, crash_backoff_counts_across_all_programs) {
  auto state = std::make_unique<supervisor_state>();
  for (unsigned expected : {60u, 660u, 1260u, 7200u, 7200u, 7200u})
    EXPECT_EQ(crash_backoff_delay(state.get()), expected);
  EXPECT_EQ(state->crash_count, 6u);
}

TEST(restart_policy, decode_finds_the_slot_and_the_code) {
  auto state = std::make_unique<supervisor_state>();
  state->process_count = 2;
  state->slots[0].pid = 100;
  state->slots[1].pid = 200;
  state->slots[2].pid = 300;  // beyond the count: never matched
  const struct {
    int pid;
    int status;
    int index;
    int code;
    int normal;
  } table[] = {
      {200, 3 << 8, 1, 3, 1},     {100, 0, 0, 0, 1},        {100, 11, 0, 11, 0},
      {100, 11 | 0x80, 0, 11, 0}, {200, 9, 1, 9, 0},        {200, 255 << 8, 1, 255, 1},
      {300, 0, 2, -7, -7},        {999, 3 << 8, 2, -7, -7},
  };
  for (const auto& row : table) {
    int code = -7;
    int normal = -7;
    std::string said = capture_stdout([&] {
      EXPECT_EQ(decode_child_status(row.pid, row.status, state.get(), &code, &normal), row.index);
    });
    EXPECT_EQ(code, row.code) << row.pid;
    EXPECT_EQ(normal, row.normal) << row.pid;
    if (row.index == 2) {
      EXPECT_EQ(said, "No such pid(" + std::to_string(row.pid) + ") for reexec\n");
    }
  }
}

}  // namespace
