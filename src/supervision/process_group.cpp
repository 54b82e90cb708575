#include "supervision/process_group.h"

#include <unistd.h>

#include <array>
#include <csignal>
#include <ctime>

namespace {

// Long enough for a helper to act on SIGTERM, short enough that a launch
// cycle, which reaps nothing meanwhile, goes on almost at once.
inline constexpr unsigned group_grace_us = 500'000;

// Groups whose leader has ended and that still had members, by slot.
std::array<int, max_processes> lingering{};

// A group number is a pid: once the group is empty it may be reused, also by
// a program we run now, which leads a group of that number. Never that one.
bool is_running_program(const supervisor_state* state, int group) {
  for (int i = 0; i < state->process_count && i < max_processes; ++i)
    if (state->slots[i].pid == group) return true;
  return false;
}

}  // namespace

void warn_group_of_ended(int slot_index, int pid) {
  if (pid > 0 && ::kill(-pid, SIGTERM) == 0) lingering[slot_index] = pid;
}

void end_lingering_group(const supervisor_state* state, int slot_index) {
  const int group = lingering[slot_index];
  lingering[slot_index] = 0;
  if (group > 0 && !is_running_program(state, group)) (void)::kill(-group, SIGKILL);
}

void end_all_groups(const supervisor_state* state) {
  // Each slot's running child and its remembered group.
  std::array<int, std::size_t{2} * max_processes> groups{};
  std::size_t count = 0;
  for (int i = 0; i < state->process_count && i < max_processes; ++i) {
    if (const int pid = state->slots[i].pid; pid > 0) groups[count++] = pid;
    if (lingering[i] > 0) groups[count++] = lingering[i];
    lingering[i] = 0;
  }
  bool warned = false;
  for (std::size_t i = 0; i < count; ++i) warned = ::kill(-groups[i], SIGTERM) == 0 || warned;
  if (!warned) return;
  const timespec grace{0, group_grace_us * 1000L};
  (void)::nanosleep(&grace, nullptr);
  for (std::size_t i = 0; i < count; ++i) (void)::kill(-groups[i], SIGKILL);
}
