// Files of ours in /tmp/.uci/ that must stay ours: the lock files that decide
// who supervises and who installs (anyone may flock a file they can read),
// and the run file (anyone who may write it forges its lines).
#pragma once

#include <sys/stat.h>

// Why a lock file found at a path cannot be used, or null: it must be a
// regular file of our user, no one else may open (no group or other bits),
// with no second name. The text is static.
[[nodiscard]] const char* lock_file_fault(const struct stat& status);

// Why a run file found at a path cannot be used, or null: a regular file of
// our user that neither group nor others may write, with no second name.
[[nodiscard]] const char* run_file_fault(const struct stat& status);

// Opens the file at `path` for reading and writing, close-on-exec, creating
// it with `mode` when missing. A non-directory there that `fault` refuses is
// removed first (never opened, never followed) and made anew; `*replaced`
// then tells why (else null). The descriptor, or -1 with errno set (EINVAL:
// what is there could not be replaced, `*replaced` says why).
[[nodiscard]] int open_own_file(const char* path, mode_t mode,
                                const char* (*fault)(const struct stat&), const char** replaced);
