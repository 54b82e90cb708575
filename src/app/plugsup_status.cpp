#include <cstdio>
#include <cstring>

#include "plugsup_version.h"
#include "status/status.h"

namespace {

constexpr int usage_status = 3;

constexpr const char* usage =
    "Usage: plugsup-status [--json] [DIR|NAME]\n"
    "Shows each running plugsup (or the one started from DIR, or under the\n"
    "program name NAME): its pid, directory, start time and watchdog, and for\n"
    "each program of its config whether it runs, since when, why it was last\n"
    "started, and how it last ended. Reads only; signals nothing.\n"
    "Exit status: 0 all programs run, 1 some do not, 2 no such plugsup runs, 3 usage.\n";

}  // namespace

int main(int argc, char** argv) {
  bool json = false;
  bool options_end = false;
  const char* target = nullptr;
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (!options_end && std::strcmp(argument, "--help") == 0) {
      (void)std::fputs(usage, stdout);
      return 0;
    }
    if (!options_end && std::strcmp(argument, "--version") == 0) {
      (void)std::printf("plugsup-status %s\n", PLUGSUP_VERSION);
      return 0;
    }
    if (!options_end && std::strcmp(argument, "--json") == 0) {
      json = true;
    } else if (!options_end && std::strcmp(argument, "--") == 0) {
      options_end = true;
    } else if ((!options_end && argument[0] == '-') || argument[0] == '\0' || target != nullptr) {
      (void)std::fputs(usage, stderr);
      return usage_status;
    } else {
      target = argument;
    }
  }
  return run_status(target, json, stdout, stderr);
}
