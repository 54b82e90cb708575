#include "util/decimal.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

namespace {

// Against the C library's exact strtod: the same end, and the same value where
// the reader promises exactness, else within a few units of the last bit.
TEST(decimal, reads_as_strtod_does) {
  const struct {
    const char* text;
    bool exact;
  } cases[] = {
      {"0", true},
      {"-0", true},
      {"1", true},
      {"-2.7", true},
      {"1.9", true},
      {"0.1", true},
      {"0.001", true},
      {"1e2", true},
      {"1E+2", true},
      {"1.5e-7", true},
      {"2147483647", true},
      {"-2147483649", true},
      {"3000000000", true},
      {"9007199254740992", true},
      {"00012.50", true},
      {"1.", true},
      {".5", true},
      {"1e", true},
      {"1e+", true},
      {"1.0.0.1", true},
      {"1e21", true},
      {"123456789012345678", false},
      {"0.30000000000000004", false},
      {"1.7976931348623157e308", false},
      {"2.2250738585072014e-308", false},
      {"1e300", false},
      {"1e-300", false},
      {"12345678901234567890123456789", false},
      {"0.000000000000000000000000000001234", false},
      {"1e400", true},
      {"-1e400", true},
      {"1e-400", true},
      {"-", true},
      {".", true},
      {"+", true},
      {"", true},
      {"e5", true},
  };
  for (const auto& c : cases) {
    char* ours_end = nullptr;
    char* their_end = nullptr;
    const double ours = read_decimal(c.text, &ours_end);
    const double theirs = std::strtod(c.text, &their_end);
    EXPECT_EQ(ours_end - c.text, their_end - c.text) << c.text;
    if (c.exact) {
      EXPECT_EQ(ours, theirs) << c.text;
      EXPECT_EQ(std::signbit(ours), std::signbit(theirs)) << c.text;
    } else {
      EXPECT_NEAR(ours, theirs, std::fabs(theirs) * 1e-14) << c.text;
    }
  }
}

// Every integer a member may hold, and short fractions, come back exactly.
TEST(decimal, short_numbers_are_exact) {
  for (long long n = -100000; n <= 100000; n += 7) {
    for (const std::string& text : {std::to_string(n), std::to_string(n) + ".25",
                                    std::to_string(n) + "e-3", std::to_string(n) + "e10"}) {
      EXPECT_EQ(read_decimal(text.c_str(), nullptr), std::strtod(text.c_str(), nullptr)) << text;
    }
  }
}

}  // namespace
