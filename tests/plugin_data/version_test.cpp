#include "plugin_data/version.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct value_case {
  std::string text;
  uint32_t value;
};

TEST(dotted_version_value, packs_one_byte_per_component) {
  const value_case cases[] = {
      {"1.0.0.1", 0x01000001U},
      {"", 0U},
      {"...", 0U},
      {"1a", 59U << 24},  // no digit check: 'a' counts as 49
      {"256", 0U},        // kept modulo 256
      {"300", 44U << 24},
      {"0.0.0.300", 44U},
      {"1.0.0.257", 0x01000001U},
      {"1.0.0.1.9", 0x01000001U},  // fifth component ignored
      {"1..0.0.1", 0x01000001U},   // runs of dots are one separator
      {".1.2.", 0x01020000U},
      {"1.2", 0x01020000U},  // missing components are 0
      {"255.255.255.255", 0xFFFFFFFFU},
      {"2" + std::string(5000, '.') + "3", 0x02030000U},  // any length is read whole
  };
  for (const value_case& c : cases) {
    EXPECT_EQ(dotted_version_value(c.text.c_str()), c.value) << '"' << c.text << '"';
  }
  EXPECT_EQ(dotted_version_value(nullptr), 0U);
}

TEST(dotted_version_value, leaves_the_text_unchanged) {
  char text[] = "1..2.3.4.5";
  (void)dotted_version_value(text);
  EXPECT_STREQ(text, "1..2.3.4.5");
}

struct compare_case {
  const char* version;
  int against_baseline;
};

TEST(compare_versions, orders_by_unsigned_value) {
  const compare_case cases[] = {
      {"1.0.0.1", 0},    {"1.0.0.1.9", 0},
      {"1..0.0.1", 0},   {"1.0.0.257", 0},
      {"1.1", 1},        {"2", 1},
      {"129.0.0.0", 1},  {"128.255.255.255", 1},
      {"129.0.0.1", 1},  {"255.255.255.255", 1},
      {"1.0.0.0", -1},   {"1.0.0", -1},
      {"1", -1},         {"0.9.9.9", -1},
      {"1.0.0.256", -1}, {"", -1},
  };
  for (const compare_case& c : cases) {
    EXPECT_EQ(compare_versions(c.version, baseline_version), c.against_baseline) << c.version;
    EXPECT_EQ(compare_versions(baseline_version, c.version), -c.against_baseline) << c.version;
  }
}

}  // namespace
