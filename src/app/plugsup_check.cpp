#include <cstdio>
#include <cstring>

#include "checker/checker.h"
#include "plugsup_version.h"

namespace {

constexpr int usage_status = 3;

constexpr const char* usage =
    "Usage: plugsup-check [DIR]\n"
    "Prints what plugsup would do when started from DIR (default: the current\n"
    "directory): each program's first command line, the watchdog, plugin mode,\n"
    "and likely mistakes in DIR/config and DIR/../data/.bootchk. Changes nothing.\n"
    "Exit status: 0 clean, 1 warnings, 2 plugsup would refuse to start, 3 usage.\n";

}  // namespace

int main(int argc, char** argv) {
  const char* argument = argc > 1 ? argv[1] : nullptr;
  if (argument != nullptr && std::strcmp(argument, "--help") == 0) {
    (void)std::fputs(usage, stdout);
    return 0;
  }
  if (argument != nullptr && std::strcmp(argument, "--version") == 0) {
    (void)std::printf("plugsup-check %s\n", PLUGSUP_VERSION);
    return 0;
  }
  if (argc > 2 || (argument != nullptr && argument[0] == '-' && argument[1] != '\0')) {
    (void)std::fputs(usage, stderr);
    return usage_status;
  }
  return run_check(argument != nullptr ? argument : ".", stdout);
}
