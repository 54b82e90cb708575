// Who holds the instance lock of a run file: /proc/locks names the process
// holding each lock, with the device and inode of the locked file.
#pragma once

#include <sys/types.h>

struct lock_entry {
  pid_t pid;
  unsigned int major;
  unsigned int minor;
  unsigned long long inode;
};

// Parses one line of /proc/locks. True only for an exclusive flock that is
// held ("1: FLOCK  ADVISORY  WRITE 812 00:2a:17 0 EOF"), not for one waited
// for ("1: -> FLOCK ..."), nor for POSIX, OFD, lease or shared locks.
[[nodiscard]] bool parse_lock_line(const char* line, lock_entry* entry);

// The pid holding an exclusive flock on the file, 0 when none does (or the
// holder lives in a PID namespace that this one cannot see), -1 with errno
// set when /proc/locks cannot be read.
[[nodiscard]] pid_t find_lock_holder(dev_t device, ino_t inode);
