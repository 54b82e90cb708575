#include "checker/check_programs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstring>

#include "supervision/command_line.h"

namespace {

// Single quotes around what a shell would not take as one plain word.
void print_word(std::FILE* out, const char* word) {
  const bool plain = word[0] != '\0' && std::strspn(word,
                                                    "abcdefghijklmnopqrstuvwxyz"
                                                    "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                    "0123456789_./:=+,-@%") == std::strlen(word);
  if (plain) {
    (void)std::fputs(word, out);
    return;
  }
  (void)std::fputc('\'', out);
  for (const char* c = word; *c != '\0'; ++c) {
    if (*c == '\'')
      (void)std::fputs("'\\''", out);
    else
      (void)std::fputc(*c, out);
  }
  (void)std::fputc('\'', out);
}

void print_command_line(std::FILE* out, const command_line& line) {
  (void)std::fputs("  ", out);
  for (int i = 0; i < line.count; ++i) {
    if (i > 0) (void)std::fputc(' ', out);
    print_word(out, line.argv[i]);
  }
  (void)std::fputc('\n', out);
}

void check_program_file(check_report* report, const char* path, int plugin_mode) {
  // A failed exec ends the child with 129, a failed start of the whole cycle.
  const char* outcome = plugin_mode == 1
                            ? "its start fails with 129, and the daemon drops the boot-check "
                              "record and starts every program from its own directory"
                            : "its start fails with 129, and without a boot-check record to "
                              "drop the daemon gives up";
  struct stat status {};
  if (::stat(path, &status) != 0)
    report_line(report, finding::warning, "program file %s is missing: %s", path, outcome);
  else if (!S_ISREG(status.st_mode) || ::access(path, X_OK) != 0)
    report_line(report, finding::warning, "program file %s is not an executable file: %s", path,
                outcome);
}

}  // namespace

void check_programs(check_report* report, const supervisor_state& state, int plugin_mode) {
  report_line(report, finding::note, "programs, each with the command line of its first start:");
  for (int i = 0; i < state.process_count; ++i) {
    std::array<char, 8192> path{};
    (void)compose_program_path(path, state.slots[i].name.data(), plugin_mode);
    command_line line;
    build_command_line(&line, path.data(), state.slots[i].alive_path.data(), 0, 0, plugin_mode);
    print_command_line(report->out, line);
  }
  report_line(report, finding::note,
              "  (any argument to the daemon adds -d to every program, after -r and before -A)");
  for (int i = 0; i < state.process_count; ++i) {
    // Two slots of one name run one file: report it once.
    bool seen = false;
    for (int earlier = 0; earlier < i; ++earlier)
      seen = seen || std::strcmp(state.slots[earlier].name.data(), state.slots[i].name.data()) == 0;
    if (seen) continue;
    std::array<char, 8192> path{};
    (void)compose_program_path(path, state.slots[i].name.data(), plugin_mode);
    check_program_file(report, path.data(), plugin_mode);
  }
}

void check_watchdog(check_report* report, const supervisor_state& state) {
  int watched = 0;
  for (int i = 0; i < state.process_count; ++i) {
    if (state.slots[i].alive_path[0] == '\0') continue;
    (void)std::fprintf(report->out, "%s%s",
                       watched == 0 ? "watchdog: runs, every 120 s, for " : ", ",
                       state.slots[i].name.data());
    ++watched;
  }
  if (watched > 0)
    (void)std::fputc('\n', report->out);
  else
    report_line(report, finding::note, "watchdog: does not run (no program has \"excheck\": true)");
}
