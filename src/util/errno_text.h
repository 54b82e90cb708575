// Texts of errno values, the same on every C library, also for a forked child,
// where strerror may allocate or lock: a fixed table, in glibc's wording.
#pragma once

#include <array>

// Room for "Unknown error -2147483648" and its terminator.
using errno_text_buffer = std::array<char, 32>;

// The text for `error`: a static text for the values that execv and the
// loader report, or "Unknown error <error>" composed in `unknown` (which the
// result then points into). Async-signal-safe.
[[nodiscard]] const char* errno_text(int error, errno_text_buffer& unknown);
