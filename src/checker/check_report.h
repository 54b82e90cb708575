// What the configuration checker found: lines printed as they are found,
// and counts that decide its exit status.
#pragma once

#include <cstdio>

struct check_report {
  std::FILE* out;
  int warnings;
  int refusals;
};

// A line of plain information.
__attribute__((format(printf, 2, 3))) void report_note(check_report* report, const char* format,
                                                       ...);
// Something the daemon accepts silently but that is likely a mistake.
__attribute__((format(printf, 2, 3))) void report_warning(check_report* report, const char* format,
                                                          ...);
// A reason for which the daemon would refuse to start.
__attribute__((format(printf, 2, 3))) void report_refusal(check_report* report, const char* format,
                                                          ...);

// 0 clean, 1 warnings only, 2 the daemon would refuse to start.
[[nodiscard]] int report_exit_status(const check_report& report);
