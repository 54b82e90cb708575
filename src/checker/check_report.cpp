#include "checker/check_report.h"

#include <array>
#include <cstdarg>

void report_line(check_report* report, finding kind, const char* format, ...) {
  const char* prefix = "";
  if (kind == finding::warning) {
    ++report->warnings;
    prefix = "warning: ";
  } else if (kind == finding::refusal) {
    ++report->refusals;
    prefix = "refusal: ";
  }
  // Long names are printed whole, but a line never grows without bound.
  std::array<char, 16384> line{};
  va_list args;
  va_start(args, format);
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started just above
  (void)std::vsnprintf(line.data(), line.size(), format, args);
  va_end(args);
  (void)std::fprintf(report->out, "%s%s\n", prefix, line.data());
}

int report_exit_status(const check_report& report) {
  if (report.refusals > 0) return 2;
  return report.warnings > 0 ? 1 : 0;
}
