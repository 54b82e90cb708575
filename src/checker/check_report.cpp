#include "checker/check_report.h"

#include <array>
#include <cstdarg>

namespace {

__attribute__((format(printf, 3, 0))) void print_line(check_report* report, const char* prefix,
                                                      const char* format, va_list args) {
  // Long names are printed whole, but a line never grows without bound.
  std::array<char, 16384> line{};
  (void)std::vsnprintf(line.data(), line.size(), format, args);
  (void)std::fprintf(report->out, "%s%s\n", prefix, line.data());
}

}  // namespace

void report_note(check_report* report, const char* format, ...) {
  va_list args;
  va_start(args, format);
  print_line(report, "", format, args);
  va_end(args);
}

void report_warning(check_report* report, const char* format, ...) {
  ++report->warnings;
  va_list args;
  va_start(args, format);
  print_line(report, "warning: ", format, args);
  va_end(args);
}

void report_refusal(check_report* report, const char* format, ...) {
  ++report->refusals;
  va_list args;
  va_start(args, format);
  print_line(report, "refusal: ", format, args);
  va_end(args);
}

int report_exit_status(const check_report& report) {
  if (report.refusals > 0) return 2;
  return report.warnings > 0 ? 1 : 0;
}
