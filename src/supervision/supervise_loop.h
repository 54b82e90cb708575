// The supervision loop: launch cycles, reaping and restarting.
#pragma once

#include "core/state.h"

// Runs launch cycles; returns only when the supervisor gives up.
void run_supervisor(supervisor_state* state);

// Kills every configured program (tracked pid and by name), clearing pids.
void kill_all_processes(supervisor_state* state);

inline constexpr int supervisor_ends = -2;

// Reaps and restarts until the launch cycle ends: 0 for a new cycle, -1 when
// the cycle failed, supervisor_ends when another supervisor holds the run
// file by now. Updates the last control code.
[[nodiscard]] int supervise_children(supervisor_state* state, int* last_control_code);
