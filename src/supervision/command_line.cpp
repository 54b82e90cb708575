#include "supervision/command_line.h"

#include "core/state.h"
#include "util/format.h"

void build_command_line(command_line* line, const char* path, const char* alive_path,
                        int restart_reason, int argument_flag, int plugin_flag) {
  line->add(path);
  if (restart_reason != 0) {
    (void)format_into(line->reason, "%d", restart_reason);
    line->add("-r");
    line->add(line->reason.data());
  }
  if (argument_flag == 1) line->add("-d");
  if (alive_path[0] != '\0') {
    line->add("-A");
    line->add(alive_path);
  }
  if (plugin_flag == 1) {
    for (const char* argument : {"-T", "/tmp/.uci/", "-D", "../data/", "-O", "pellavora_K2310"})
      line->add(argument);
  }
}

bool compose_program_path(std::array<char, 8192>& path, const char* name, int plugin_mode) {
  if (plugin_mode == 1) return format_into(path, "%s/%s", data_directory, name);
  return format_into(path, "%s", name);
}
