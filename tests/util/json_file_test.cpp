#include "util/json_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/scratch_tree.h"
#include "util/handles.h"

namespace {

class json_file_test : public ::testing::Test {
 protected:
  void SetUp() override { ENTER_SCRATCH_TREE(); }

  unique_json parse_file(const std::string& content) {
    write_text("doc.json", content);
    return unique_json(read_json_file("doc.json"));
  }
};

TEST_F(json_file_test, files_that_give_no_document) {
  EXPECT_EQ(read_json_file("missing.json"), nullptr);
  EXPECT_FALSE(parse_file(""));
  EXPECT_FALSE(parse_file("not json"));
  EXPECT_FALSE(parse_file("   \n\t"));
  EXPECT_FALSE(parse_file("{}" + std::string(1024 * 1024 - 1, ' ')));  // 1 MiB + 1 byte
  // Neither a FIFO without a writer (which must not block) nor a directory.
  ASSERT_EQ(::mkfifo("fifo", 0600), 0);
  EXPECT_EQ(read_json_file("fifo"), nullptr);
  EXPECT_EQ(read_json_file("."), nullptr);
}

TEST_F(json_file_test, trailing_text_after_a_value_is_ignored) {
  const unique_json doc = parse_file("  {\"a\":\"b\"} trailing garbage");
  ASSERT_TRUE(doc);
  EXPECT_STREQ(json_get_string(doc.get(), "a"), "b");
  const std::string text = R"({"a":"c"})";
  const unique_json largest = parse_file(text + std::string(1024 * 1024 - text.size(), ' '));
  ASSERT_TRUE(largest);
  EXPECT_STREQ(json_get_string(largest.get(), "a"), "c");
}

TEST_F(json_file_test, lookup_ignores_case_and_takes_the_first_member) {
  const unique_json doc = parse_file(R"({"BASE":"first","base":"second","n":3})");
  ASSERT_TRUE(doc);
  EXPECT_STREQ(json_get_string(doc.get(), "base"), "first");
  EXPECT_EQ(json_get_string(doc.get(), "n"), nullptr);
  EXPECT_EQ(json_get_string(doc.get(), "absent"), nullptr);
}

TEST_F(json_file_test, integer_and_truth_values) {
  const unique_json doc = parse_file(
      R"({"one":1,"frac":1.9,"t":true,"neg":-2.7,"str":"1","f":false,"big":1e12,"s":"true"})");
  ASSERT_TRUE(doc);
  const struct {
    const char* name;
    int value;
    int is_true;
  } cases[] = {{"one", 1, 0},  {"frac", 1, 0},    {"t", 1, 1},
               {"neg", -2, 0}, {"str", 0, 0},     {"f", 0, 0},
               {"s", 0, 0},    {"missing", 0, 0}, {"big", 2147483647, 0}};
  for (const auto& c : cases) {
    EXPECT_EQ(json_get_int(doc.get(), c.name), c.value) << c.name;
    EXPECT_EQ(json_is_true(doc.get(), c.name), c.is_true) << c.name;
  }
}

}  // namespace
