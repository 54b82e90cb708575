// The instance lock: an exclusive lock on the run file in /tmp/.uci/, so that
// one supervisor of a program name runs at a time.
#pragma once

#include "core/state.h"

// Opens or creates `path`, locks it exclusively without waiting, empties it
// and writes `text`. The descriptor, or -1 after printing one message.
[[nodiscard]] int open_locked_file(const char* path, const char* text, int length);

// Writes the working directory as the run file's first line under the lock
// and stores the descriptor and `program_path` in the state. 0, or -1 after
// printing.
[[nodiscard]] int take_instance_lock(const char* program_path, supervisor_state* state);

// Main thread, at an ending or a new launch cycle. When the run file we hold
// is no longer the one at its path (it or /tmp/.uci/ was removed), prepares
// /tmp/.uci/ and takes the lock on a new run file as start-up does, and puts
// it in place of the old one under the same descriptor. 0 when supervision
// may go on; -1 after printing, as a second supervisor does, when another
// one holds the lock by now or start-up's checks fail.
[[nodiscard]] int keep_instance_lock(supervisor_state* state);
