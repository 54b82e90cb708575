// Event lines of the run file (its first line is written with the lock).
#pragma once

// One write of the whole line; appends of the two threads are serialised.
// -1 when there is no run file (descriptor 0 or less).
int append_to_run_file(int descriptor, const char* bytes, int length);

// Appends "<time>: <name> exited normally with code(<code>)" (normal_exit 1)
// or "<time>: <name> killed by signal(<code>)". -1 when there is no run file.
int append_exit_line(int code, int normal_exit, const char* name, int run_fd);
