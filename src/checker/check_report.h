// What the configuration checker found: lines printed as they are found,
// and counts that decide its exit status.
#pragma once

#include <cstdio>

struct check_report {
  std::FILE* out;
  int warnings;
  int refusals;
};

enum class finding {
  note,     // plain information
  warning,  // accepted silently by the daemon, but likely a mistake
  refusal,  // a reason for which the daemon would refuse to start
};

// Prints one line, prefixed "warning: " or "refusal: " for those kinds, and
// counts it.
__attribute__((format(printf, 3, 4))) void report_line(check_report* report, finding kind,
                                                       const char* format, ...);

// 0 clean, 1 warnings only, 2 the daemon would refuse to start.
[[nodiscard]] int report_exit_status(const check_report& report);
