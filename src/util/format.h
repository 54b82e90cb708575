// Bounded formatting into fixed buffers: an over-long text is cut, never
// written past its buffer.
#pragma once

#include <array>
#include <cstdarg>
#include <cstddef>
#include <cstdio>

// Returns false when the text did not fit and was cut.
template <std::size_t N>
__attribute__((format(printf, 2, 3))) bool format_into(std::array<char, N>& buffer,
                                                       const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(buffer.data(), N, format, args);
  va_end(args);
  return length >= 0 && static_cast<std::size_t>(length) < N;
}
