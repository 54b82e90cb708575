// Event lines of the run file (its first line is written with the lock).
#pragma once

#include <sys/types.h>

// The run file never grows past this (it lives in RAM, for the life of the
// process). An append that would pass it first keeps only the first line and
// the newest whole lines that fit in run_file_kept_tail_bytes.
inline constexpr long run_file_cap_bytes = 262'144;
inline constexpr long run_file_kept_tail_bytes = 131'072;

// One write of the whole line at the end of the file; appends of the two
// threads are serialised. A write that fails part-way is undone, so the file
// always ends with a whole line. -1 when there is no run file (descriptor 0
// or less), else 0. `seen_size`: the file's size from a stat just before, or
// -1; when no append of ours came after that stat, the line goes there
// without asking the descriptor for its end.
int append_to_run_file(int descriptor, const char* bytes, int length, off_t seen_size = -1);

// Main thread: makes `descriptor` the run file open as `replacement`, between
// two appends, and closes `replacement`; the lock goes with the open file.
// Where that fails, `descriptor` stays as it was and the new lock is released.
void replace_run_file(int descriptor, int replacement);

// Appends "<time>: <name> exited normally with code(<code>)" (normal_exit 1)
// or "<time>: <name> killed by signal(<code>)". -1 when there is no run file.
int append_exit_line(int code, int normal_exit, const char* name, int run_fd, off_t seen_size = -1);
