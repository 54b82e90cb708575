#include "checker/checker.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "checker/check_config.h"
#include "checker/check_plugin_mode.h"
#include "checker/check_programs.h"
#include "checker/check_report.h"
#include "checker/check_tools.h"
#include "core/state.h"
#include "core/uci_directory.h"
#include "util/handles.h"

namespace {

void check_uci_directory(check_report* report) {
  if (const char* refusal = uci_directory_refusal(uci_directory))
    report_line(report, finding::refusal, "%s: %s; the daemon prints \"refusing %s: %s\" and ends",
                uci_directory, refusal, uci_directory, refusal);
}

void print_verdict(check_report* report) {
  if (report->refusals > 0)
    report_line(report, finding::note,
                "result: the daemon would refuse to start (%d refusal%s, %d warning%s)",
                report->refusals, report->refusals == 1 ? "" : "s", report->warnings,
                report->warnings == 1 ? "" : "s");
  else
    report_line(report, finding::note, "result: the daemon starts (%d warning%s)", report->warnings,
                report->warnings == 1 ? "" : "s");
}

}  // namespace

int run_check(const char* directory, std::FILE* out) {
  check_report report{out, 0, 0};
  if (::chdir(directory) != 0) {
    report_line(&report, finding::refusal, "cannot enter %s: %s", directory, std::strerror(errno));
    print_verdict(&report);
    return report_exit_status(report);
  }
  std::array<char, 4096> here{};
  report_line(&report, finding::note, "directory: %s",
              ::getcwd(here.data(), here.size()) != nullptr ? here.data() : directory);
  check_uci_directory(&report);
  // Large, and zero-filled as start-up makes it; from calloc, as the C
  // library alone (musl builds link no C++ library) provides it.
  const std::unique_ptr<supervisor_state, heap_deleter> state(
      static_cast<supervisor_state*>(std::calloc(1, sizeof(supervisor_state))));
  if (!state) {
    report_line(&report, finding::refusal, "cannot allocate the supervisor state: %s",
                std::strerror(errno));
  } else if (check_config(&report, state.get()) == 0) {
    const int plugin_mode = check_plugin_mode(&report);
    check_watchdog(&report, *state);
    check_programs(&report, *state, plugin_mode);
  }
  check_tools(&report);
  print_verdict(&report);
  return report_exit_status(report);
}
