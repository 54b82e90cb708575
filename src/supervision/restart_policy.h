// How an ending of a child is decoded and what the supervisor does about it.
#pragma once

#include <cstdint>

#include "core/state.h"

// The slot whose pid is `pid`, with its code and normal-exit flag decoded from
// the wait status; the process count (after printing "No such pid") when no
// slot matches.
[[nodiscard]] int decode_child_status(int pid, int wait_status, const supervisor_state* state,
                                      int* code, int* normal_exit);

// Seconds to wait before restarting after a SIGSEGV: 60, 660, 1260, then
// 7200, counted across all programs.
[[nodiscard]] unsigned crash_backoff_delay(supervisor_state* state);

enum class ending_action {
  failed_boot,      // 129: the launch cycle fails
  install_upgrade,  // 130-132: install the package, then a new launch cycle
  new_cycle,        // 160: a new launch cycle
  restart_normal,   // restart the slot after 10 seconds
  restart_crash,    // restart the slot after the crash back-off
};

// The action for a decoded ending (code already turned into 199 after a
// watchdog kill).
[[nodiscard]] ending_action decide_ending(int code, int normal_exit);
