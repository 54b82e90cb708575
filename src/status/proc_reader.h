// What /proc shows of a process, read without touching the process: fields of
// /proc/<pid>/stat, its command line and its working directory.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>

struct process_stat {
  pid_t ppid;
  long threads;
  unsigned long long start_ticks;  // since boot, in clock ticks
};

// Parses the text of /proc/<pid>/stat. The command name in parentheses may
// hold spaces and parentheses itself, so the fields are counted from the last
// ')'. False when a field is missing.
[[nodiscard]] bool parse_process_stat(const char* text, process_stat* stat);

// Reads /proc/<pid>/stat; false with errno set when it cannot.
[[nodiscard]] bool read_process_stat(pid_t pid, process_stat* stat);

// The arguments of a process as the kernel keeps them, each ended by a NUL.
// Room for a program path of 8191 bytes and its first options; the rest is
// never needed here.
struct command_text {
  std::array<char, 8448> bytes;
  std::size_t length;
};

// Reads /proc/<pid>/cmdline; false with errno set when it cannot. Empty for a
// zombie or a kernel thread.
[[nodiscard]] bool read_command_text(pid_t pid, command_text* text);

// Argument `index` (0 is the program path), or null when there is none.
[[nodiscard]] const char* argument_at(const command_text& text, int index);

// The target of /proc/<pid>/cwd; false with errno set (EACCES for another
// user's process).
[[nodiscard]] bool read_process_directory(pid_t pid, std::array<char, 4096>& directory);

// Seconds since the epoch at which a process started, from the boot time in
// /proc/stat and its start in clock ticks; -1 when the boot time is unknown.
[[nodiscard]] long long process_started_s(const process_stat& stat);

// Who a process is: its effective user and the name the kernel keeps for it
// (the first 15 bytes of the file name it executed).
struct process_identity {
  unsigned int uid;
  std::array<char, 16> command;
};

// Parses the "Uid:" line of /proc/<pid>/status (real, effective, ...) into
// the effective uid. False when it is missing.
[[nodiscard]] bool parse_effective_uid(const char* status_text, unsigned int* uid);

// Reads /proc/<pid>/status and /proc/<pid>/comm; false with errno set.
[[nodiscard]] bool read_process_identity(pid_t pid, process_identity* identity);
