#include "util/text_escape.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace {

struct escape_row {
  const char* name;
  std::string text;
  std::string escaped;   // escape_text
  std::string replaced;  // replace_invalid_utf8
};

class text_escape : public ::testing::TestWithParam<escape_row> {};

TEST_P(text_escape, controls_and_invalid_bytes_never_pass_raw) {
  std::array<char, 256> out{};
  EXPECT_TRUE(escape_text(GetParam().text.c_str(), out.data(), out.size()));
  EXPECT_EQ(std::string(out.data()), GetParam().escaped);
  EXPECT_TRUE(replace_invalid_utf8(GetParam().text.c_str(), out.data(), out.size()));
  EXPECT_EQ(std::string(out.data()), GetParam().replaced);
}

INSTANTIATE_TEST_SUITE_P(
    table, text_escape,
    ::testing::Values(
        escape_row{"plain", "probe-1.x", "probe-1.x", "probe-1.x"},
        escape_row{"newline_and_escape", "a\nb\x1b[31m", "a\\x0ab\\x1b[31m", "a\nb\x1b[31m"},
        escape_row{"backslash", "a\\b", "a\\\\b", "a\\b"},
        escape_row{"delete", "a\x7f", "a\\x7f", "a\x7f"},
        escape_row{"valid_utf8", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
                   "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
                   "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        escape_row{"c1_control",
                   "a\xc2\x9b"
                   "b",
                   "a\\xc2\\x9bb",
                   "a\xc2\x9b"
                   "b"},
        escape_row{"lone_byte",
                   "a\xff"
                   "b",
                   "a\\xffb",
                   "a\xef\xbf\xbd"
                   "b"},
        escape_row{"truncated_sequence", "a\xe2\x82", "a\\xe2\\x82", "a\xef\xbf\xbd\xef\xbf\xbd"},
        escape_row{"overlong_slash", "\xc0\xaf", "\\xc0\\xaf", "\xef\xbf\xbd\xef\xbf\xbd"},
        escape_row{"surrogate", "\xed\xa0\x80", "\\xed\\xa0\\x80",
                   "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(text_escape_cut, a_cut_never_splits_an_escape) {
  std::array<char, 6> out{};
  EXPECT_FALSE(escape_text("ab\x1b", out.data(), out.size()));
  EXPECT_STREQ(out.data(), "ab");
  EXPECT_FALSE(replace_invalid_utf8("abcd\xff", out.data(), out.size()));
  EXPECT_STREQ(out.data(), "abcd");
}

}  // namespace
