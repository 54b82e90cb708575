// The instance lock: an exclusive lock on the run file in /tmp/.uci/, so that
// one supervisor of a program name runs at a time.
#pragma once

#include "core/state.h"

// Opens or creates `path`, locks it exclusively without waiting, empties it
// and writes `text`. The descriptor, or -1 after printing one message.
[[nodiscard]] int open_locked_file(const char* path, const char* text, int length);

// Writes the working directory as the run file's first line under the lock
// and stores the descriptor in the state. 0, or -1 after printing.
[[nodiscard]] int take_instance_lock(const char* program_path, supervisor_state* state);
