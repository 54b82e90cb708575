// What a running supervisor and its programs look like from outside: worked
// out from /proc, its config (read with the daemon's own loader), its run file
// and the alive files, without touching any of them.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdio>

#include "core/state.h"
#include "status/run_file_reader.h"

struct program_status {
  pid_t pid;            // 0: not running
  long long started_s;  // seconds since the epoch; -1 unknown
  int restart_reason;   // as "-r" shows it; 0 for a first start
  int plugin_mode;      // 1: started as ../data//<name>
  program_endings endings;
  long long alive_age_s;  // -1: no alive file, or no check asked for
};

struct supervisor_status {
  std::array<char, 256> name;  // the program name of the supervisor
  pid_t pid;
  std::array<char, 4096> recorded_directory;  // first line of its run file
  std::array<char, 4096> directory;           // /proc/<pid>/cwd, else the recorded one
  long long started_s;
  long threads;
  int watchdog;       // 1: some program asks for the check and a second thread runs
  int config_loaded;  // 0: its config could not be read, no programs known
  supervisor_state config;
  std::array<program_status, max_processes> programs;
};

// Fills everything but name, pid and recorded_directory (the caller's, from
// the run file and its lock holder) and reads the endings from `run_fd`.
// Prints to `err` what it could not read. False when the supervisor is gone.
[[nodiscard]] bool observe_supervisor(supervisor_status* status, int run_fd, std::FILE* err);

// The slot whose program path, as the daemon composes it in either mode, is
// `argument0` and whose pid is still 0, or -1; *plugin_mode says which form.
[[nodiscard]] int match_program(const supervisor_status& status, const char* argument0,
                                int* plugin_mode);

// 0 when every configured program runs, 1 otherwise (also when the
// configuration could not be read).
[[nodiscard]] int supervisor_exit_status(const supervisor_status& status);
