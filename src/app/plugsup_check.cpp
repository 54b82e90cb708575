#include <cstdio>
#include <cstring>

#include "checker/checker.h"
#include "plugsup_version.h"
#include "util/handles.h"

namespace {

constexpr int usage_status = 3;

constexpr const char* usage =
    "Usage: plugsup-check [-q] [DIR]\n"
    "Prints what plugsup would do when started from DIR (default: the current\n"
    "directory): each program's first command line, the watchdog, plugin mode,\n"
    "and likely mistakes in DIR/config and DIR/../data/.bootchk, and whether\n"
    "killall and tar are in PATH. Changes nothing. -q prints nothing.\n"
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
  const bool quiet = argument != nullptr && std::strcmp(argument, "-q") == 0;
  const int first = quiet ? 2 : 1;
  const char* directory = argc > first ? argv[first] : nullptr;
  if (argc > first + 1 || (directory != nullptr && directory[0] == '-' && directory[1] != '\0')) {
    (void)std::fputs(usage, stderr);
    return usage_status;
  }
  if (directory == nullptr) directory = ".";
  if (!quiet) return run_check(directory, stdout);
  // Only the exit status is wanted: the report goes nowhere.
  const unique_file null_output(std::fopen("/dev/null", "we"));
  if (!null_output) {
    (void)std::fputs("plugsup-check: cannot open /dev/null\n", stderr);
    return usage_status;
  }
  return run_check(directory, null_output.get());
}
