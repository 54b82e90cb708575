// Starting one supervised program as a child process.
#pragma once

#include "core/state.h"

// Starts the slot's program (from ../data/ in plugin mode) and stores the
// child's pid, or -1 when the fork failed, in the slot. Main thread only.
void launch_process(supervisor_state* state, int slot_index, int restart_reason);

// Forks and executes `path` with the command line that tells the child why it
// was started. The child's pid in the parent, or -1 when the fork failed.
// `alive_path` may be empty.
[[nodiscard]] int spawn_child(const char* path, const char* alive_path, int restart_reason,
                              int argument_flag, int plugin_flag);
