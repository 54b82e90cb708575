// Reading a supervisor's run file from outside: its first line (the
// supervisor's directory) and the endings of each program among its event
// lines. Only reads; the file belongs to the supervisor holding its lock.
#pragma once

#include <sys/stat.h>

#include <array>

#include "util/handles.h"

// Opens `file_name` in the directory `uci_fd` for reading, never through a
// symbolic link and never waiting on a FIFO, and fills `status`. The
// descriptor, or -1 with errno set: ELOOP for a link, EINVAL for anything but
// a regular file.
[[nodiscard]] int open_run_file(int uci_fd, const char* file_name, struct stat* status);

// The first line, without its newline: the directory the supervisor recorded.
// Empty when the file has none.
void read_recorded_directory(int fd, std::array<char, 4096>& directory);

// The event lines after the first line, at most as many bytes as the
// supervisor ever keeps, from the start of a line; null when they cannot be
// read. The caller owns the text.
[[nodiscard]] unique_text read_event_lines(int fd);

// The last ending of a program: its exit line, after its not-alive line when
// the watchdog's kill caused it (two lines), or a not-alive line alone.
using ending_text = std::array<char, 4608>;

struct program_endings {
  int endings;       // exit lines of the program among the lines read
  ending_text last;  // empty: none
};

// Counts the exit lines of the program `name` in `lines` and keeps its last
// exit or not-alive line.
void tally_endings(const char* lines, const char* name, program_endings* endings);
