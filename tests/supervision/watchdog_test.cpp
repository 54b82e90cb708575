#include "supervision/watchdog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <memory>

#include "supervision/child_handle.h"
#include "support/scratch_tree.h"

namespace {

class watchdog_test : public ::testing::Test {
 protected:
  void SetUp() override {
    ENTER_SCRATCH_TREE();
    state = std::make_unique<supervisor_state>();
    state->process_count = 2;
    state->run_fd = ::open("/tmp/.uci/sup.run", O_RDWR | O_CREAT, 0644);
    // Names no process on the machine has: the kill by name finds nothing.
    name_slot(0, "watchdog-test-a", true);
    name_slot(1, "watchdog-test-b", false);
  }
  void TearDown() override {
    if (!state) return;
    ::close(state->run_fd);
    for (int i = 0; i < 2; ++i) {
      const int pid = state->slots[i].pid;
      forget_child(&state->slots[i]);
      if (pid > 0) ::kill(pid, SIGKILL);
      if (pid > 0) ::waitpid(pid, nullptr, 0);
    }
  }

  // A real child for the slot, tracked as launch tracks it: the watchdog
  // kills it, and nothing else, even though its name matches no process.
  void start_child(int i) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::pause();
      ::_exit(0);
    }
    ASSERT_GT(pid, 0);
    track_child(&state->slots[i], pid);
  }

  // Whether the slot's child was killed by SIGKILL (reaping it), or still runs.
  bool child_was_killed(int i) {
    const int pid = state->slots[i].pid;
    int status = 0;
    if (!wait_until_ended(pid, &status)) return false;
    forget_child(&state->slots[i]);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  }

  static bool wait_until_ended(int pid, int* status) {
    for (int round = 0; round < 15000; ++round) {  // 30 s: a busy machine may be slow to reap
      if (::waitpid(pid, status, WNOHANG) == pid) return true;
      ::usleep(2000);
    }
    return false;
  }

  void name_slot(int i, const char* name, bool checked) {
    (void)store_text(state.get(), &state->slots[i].name, "%s", name);
    if (checked)
      (void)store_text(state.get(), &state->slots[i].alive_path, "/tmp/.uci//%s.alive", name);
    start_child(i);
  }

  std::unique_ptr<supervisor_state> state;
};

TEST_F(watchdog_test, third_miss_in_a_row_kills_and_marks) {
  process_slot& slot = state->slots[0];
  check_alive_once(state.get());
  check_alive_once(state.get());
  EXPECT_EQ(slot.missed_checks, 2u);
  EXPECT_EQ(slot.watchdog_kill, 0);
  check_alive_once(state.get());
  EXPECT_EQ(slot.missed_checks, 0u);
  EXPECT_EQ(slot.watchdog_kill, 1);
  EXPECT_EQ(read_text("/tmp/.uci/sup.run"), "watchdog-test-a is not alive, and we will kill it.\n");
  EXPECT_EQ(state->slots[1].missed_checks, 0u);  // never asked for the check
  EXPECT_TRUE(child_was_killed(0));
  int status = 0;
  EXPECT_EQ(::waitpid(state->slots[1].pid, &status, WNOHANG), 0);  // still running
}

TEST_F(watchdog_test, a_found_file_is_deleted_and_resets_the_count) {
  process_slot& slot = state->slots[0];
  for (int round = 0; round < 4; ++round) {
    check_alive_once(state.get());
    check_alive_once(state.get());
    write_text(slot.alive_path.data(), "");
    check_alive_once(state.get());
    EXPECT_FALSE(file_exists(slot.alive_path.data()));
    EXPECT_EQ(slot.missed_checks, 0u);
  }
  EXPECT_EQ(slot.watchdog_kill, 0);
  EXPECT_EQ(read_text("/tmp/.uci/sup.run"), "");
}

TEST_F(watchdog_test, slots_without_a_child_are_skipped_and_keep_their_count) {
  process_slot& slot = state->slots[0];
  check_alive_once(state.get());
  check_alive_once(state.get());
  const int running = slot.pid;
  for (int pid : {0, -1}) {
    slot.pid = pid;
    check_alive_once(state.get());
    EXPECT_EQ(slot.missed_checks, 2u);
  }
  slot.pid = running;  // restarted: the count belongs to the slot
  check_alive_once(state.get());
  EXPECT_EQ(slot.watchdog_kill, 1);
  EXPECT_TRUE(child_was_killed(0));
}

}  // namespace
