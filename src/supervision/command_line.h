// The command line of a supervised program: the only channel through which
// the supervisor tells a child why it was started, where its alive file lies
// and whether it runs in plugin mode. Built in the parent, before the fork.
#pragma once

#include <array>

// The child's argument vector, null-terminated. Entries point at the caller's
// texts (and at `reason`), so paths are carried whole whatever their length.
struct command_line {
  std::array<char*, 16> argv{};
  std::array<char, 16> reason{};
  int count = 0;

  void add(const char* argument) { argv[count++] = const_cast<char*>(argument); }
};

// The program's path, then in this order: "-r" and the reason when it is not
// 0, "-d" when the argument flag is 1, "-A" and the alive-file path when it is
// not empty, and the plugin group when the plugin flag is 1.
void build_command_line(command_line* line, const char* path, const char* alive_path,
                        int restart_reason, int argument_flag, int plugin_flag);

// The path the program is executed from: "../data//<name>" in plugin mode,
// the name itself otherwise. False when it was cut.
bool compose_program_path(std::array<char, 8192>& path, const char* name, int plugin_mode);
