// The instance lock: an exclusive lock on "<run file>.lock" in /tmp/.uci/, a
// 0600 file of ours, so that one supervisor of a program name runs at a time
// and no other user can hold, wait for or inherit the lock.
#pragma once

#include <sys/types.h>

#include "core/state.h"

inline constexpr const char* instance_lock_suffix = ".lock";

// Under the instance lock: opens or creates the run file at `path` (replacing
// one that is not ours, that others may write or that is no regular file,
// with a line), empties it and writes `text`. The descriptor, or -1 after
// printing one message.
[[nodiscard]] int open_own_run_file(const char* path, const char* text, int length);

// Takes the instance lock without waiting, then writes the working directory
// as the run file's first line, and stores both descriptors and
// `program_path` in the state. 0, or -1 after printing ("already run" only
// when another supervisor holds the lock).
[[nodiscard]] int take_instance_lock(const char* program_path, supervisor_state* state);

// Main thread, at an ending or a new launch cycle. When the lock file or the
// run file we hold is no longer the one at its path (it or /tmp/.uci/ was
// removed), prepares /tmp/.uci/, takes the lock on a new lock file as start-up
// does and opens a new run file, each in place of the old one under the same
// descriptor. 0 when supervision
// may go on; -1 after printing, as a second supervisor does, when another
// one holds the lock by now or start-up's checks fail. `run_file_size`, when
// given, gets the size of the run file as the check saw it, or -1.
[[nodiscard]] int keep_instance_lock(supervisor_state* state, off_t* run_file_size = nullptr);
