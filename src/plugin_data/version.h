// Dotted versions such as "1.0.0.1", packed one byte per component.
#pragma once

#include <cstdint>

inline constexpr const char* baseline_version = "1.0.0.1";

// Up to four components split at runs of ".", first in the top byte; each
// component's digits are summed without checks and kept modulo 256. The text is
// read whole, whatever its length, and not changed. 0 for a null text.
[[nodiscard]] uint32_t dotted_version_value(const char* text);

// -1 when `a` is older than `b`, 0 when equal, 1 when newer; the packed values
// are compared as unsigned numbers.
[[nodiscard]] int compare_versions(const char* a, const char* b);
