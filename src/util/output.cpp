#include "util/output.h"

#include <cstdarg>
#include <cstdio>

void say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started just above
  (void)std::vprintf(format, args);
  va_end(args);
  // A message nobody can read is not worth failing over.
  (void)std::fflush(stdout);
}
