#include "util/decimal.h"

#include <cstdint>

namespace {

constexpr double powers_of_ten[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                    1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                    1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int exact_power = 22;
constexpr int kept_digits = 19;
constexpr std::uint64_t exact_mantissa = std::uint64_t{1} << 53;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// mantissa x 10^exponent: exact where both factors are, else scaled in
// steps of 10^22, each step rounded.
double scale(std::uint64_t mantissa, int exponent, int digits) {
  if (mantissa == 0 || digits + exponent < -343) return 0.0;
  if (digits + exponent > 310) return __builtin_huge_val();
  auto value = static_cast<double>(mantissa);
  if (mantissa <= exact_mantissa && exponent >= -exact_power && exponent <= exact_power)
    return exponent >= 0 ? value * powers_of_ten[exponent] : value / powers_of_ten[-exponent];
  for (; exponent > exact_power; exponent -= exact_power) value *= powers_of_ten[exact_power];
  for (; exponent < -exact_power; exponent += exact_power) value /= powers_of_ten[exact_power];
  return exponent >= 0 ? value * powers_of_ten[exponent] : value / powers_of_ten[-exponent];
}

}  // namespace

double read_decimal(const char* text, char** end) {
  const char* at = text;
  const bool negative = *at == '-';
  if (*at == '-' || *at == '+') ++at;
  std::uint64_t mantissa = 0;
  int digits = 0;    // significant digits kept in the mantissa
  int exponent = 0;  // of ten, for the digits dropped or after the point
  bool any = false;
  for (; is_digit(*at); ++at, any = true) {
    if (digits < kept_digits) {
      mantissa = mantissa * 10 + static_cast<unsigned>(*at - '0');
      if (mantissa != 0) ++digits;
    } else {
      ++exponent;
    }
  }
  if (*at == '.') {
    for (++at; is_digit(*at); ++at, any = true) {
      if (digits < kept_digits) {
        mantissa = mantissa * 10 + static_cast<unsigned>(*at - '0');
        if (mantissa != 0) ++digits;
        --exponent;
      }
    }
  }
  if (!any) {
    if (end != nullptr) *end = const_cast<char*>(text);
    return 0.0;
  }
  if (*at == 'e' || *at == 'E') {
    const char* power = at + 1;
    const bool below = *power == '-';
    if (*power == '-' || *power == '+') ++power;
    if (is_digit(*power)) {
      int written = 0;
      for (; is_digit(*power); ++power) {
        if (written < 100000) written = written * 10 + (*power - '0');
      }
      exponent += below ? -written : written;
      at = power;
    }
  }
  if (end != nullptr) *end = const_cast<char*>(at);
  const double value = scale(mantissa, exponent, digits);
  return negative ? -value : value;
}
