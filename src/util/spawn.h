// Running an outside command (killall, tar) without a shell and waiting for it.
#pragma once

// Runs `file` (searched in PATH when it holds no '/') with `argv`, which ends
// with a null entry. The command starts with default signal dispositions and
// the caller's signal mask, its standard output and error on /dev/null, and
// its standard input on `stdin_fd` (inherited when negative). Its exit status
// (127 when it could not be executed), or -1 when it could not be started or
// a signal ended it; then `ending_signal`, when given, receives the signal's
// number (0 when not known). Only the calling thread waits for it: a waitpid(-1) on
// another thread never reaps it. Safe to call from either thread.
[[nodiscard]] int spawn_and_wait(const char* file, char* const argv[], int stdin_fd,
                                 int* ending_signal = nullptr);
