#include "util/json_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

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

// The record keeps whatever a stored file held, so its print must match
// cJSON's own byte for byte: the golden text, and cJSON's print of the same
// document.
TEST_F(json_file_test, prints_documents_as_cjson_does) {
  const struct {
    const char* stored;
    const char* printed;
  } cases[] = {
      {R"({"version":"1.0.0.1","plugindata":1})", R"({"version":"1.0.0.1","plugindata":1})"},
      {R"( { "version" : "1.0.0.1", "plugindata":1, "plugindata" : 1 } )",
       R"({"version":"1.0.0.1","plugindata":1,"plugindata":1})"},
      {R"({})", R"({})"},
      {R"({"a":[],"b":{},"c":[1,[true,false,null]],"d":{"e":{"f":"g"}}})",
       R"({"a":[],"b":{},"c":[1,[true,false,null]],"d":{"e":{"f":"g"}}})"},
      // Numbers: integral ones plain, others in fifteen digits, or seventeen
      // when fifteen do not give the value back; beyond a double, null.
      {R"([0,-0,1.0,-2.7,1e2,1.5e-7,0.1,1e21,3000000000,-2147483649,1e400,-1e400])",
       R"([0,-0,1,-2.7,100,1.5e-07,0.1,1e+21,3000000000,-2147483649,null,null])"},
      // cJSON's check lets fifteen digits stand within a step of the last bit.
      {R"([0.30000000000000004,1.7976931348623157e308,5e-324,123456789012345678])",
       R"([0.3,1.79769313486232e+308,4.94065645841247e-324,1.2345678901234568e+17])"},
      // Strings: the two-letter escapes, other control bytes as six-byte escapes,
      // everything else (also UTF-8 and a decoded escape) as it is.
      {R"(["q\"b\\s\/\b\f\n\r\t","\u0001\u001f\u007f","é€","\u00e9"])",
       "[\"q\\\"b\\\\s/\\b\\f\\n\\r\\t\",\"\\u0001\\u001f\x7f\",\"é€\",\"é\"]"},
      {R"({"":"","Ke\ny":"v"})", R"({"":"","Ke\ny":"v"})"},
  };
  for (const auto& c : cases) {
    const unique_json doc = parse_file(c.stored);
    ASSERT_TRUE(doc) << c.stored;
    const unique_text ours(json_print(doc.get()));
    const unique_text theirs(cJSON_PrintUnformatted(doc.get()));
    ASSERT_TRUE(ours) << c.stored;
    EXPECT_STREQ(ours.get(), c.printed) << c.stored;
    EXPECT_STREQ(ours.get(), theirs.get()) << c.stored;
  }
  // Members made by the daemon, and a raw text, print the same way.
  const unique_json made(cJSON_CreateObject());
  cJSON_AddItemToObject(made.get(), "version", cJSON_CreateString("1.0.0.1"));
  cJSON_AddItemToObject(made.get(), "luadata", cJSON_CreateNumber(1.0));
  cJSON_AddItemToObject(made.get(), "raw", cJSON_CreateRaw("[7]"));
  const unique_text made_text(json_print(made.get()));
  EXPECT_STREQ(made_text.get(), R"({"version":"1.0.0.1","luadata":1,"raw":[7]})");
}

// The process's mapped address space (kB), summed from its mappings: an
// emulator shows the program's own there, while its status shows the host's.
// Read without the heap, whose allocator may map more of its own meanwhile.
long mapped_kb() {
  static std::array<char, 1 << 16> text{};  // read whole, then parsed in place
  const int maps = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  std::size_t used = 0;
  for (ssize_t got = 1; maps >= 0 && got > 0 && used < text.size() - 1;
       used += std::max<ssize_t>(got, 0))
    got = ::read(maps, text.data() + used, text.size() - 1 - used);
  if (maps >= 0) ::close(maps);
  text[used] = '\0';
  unsigned long long total = 0;
  for (const char* line = text.data(); line != nullptr && *line != '\0';) {
    unsigned long long from = 0;
    unsigned long long to = 0;
    if (std::sscanf(line, "%llx-%llx", &from, &to) == 2) total += to - from;
    line = std::strchr(line, '\n');
    if (line != nullptr) ++line;
  }
  return static_cast<long>(total / 1024);
}

// The daemon's documents live in pages of their own, gone once the last item
// is freed; a file larger than one chunk included. Many rounds: a page kept
// per document adds up, while a sanitizer's allocator may map a region of its
// own once.
TEST_F(json_file_test, json_pages_are_given_back_after_each_document) {
  use_json_pages();
  struct heap_again {  // for the other tests, also when a check below fails
    ~heap_again() { cJSON_InitHooks(nullptr); }
  } restore;
  std::string large = R"({"version":"1.0.0.2","list":[)";
  for (int i = 0; i < 20000; ++i) large += "\"abcdefgh\",";
  large += R"("end"],"plugindata":1.9})";
  const std::string texts[] = {R"({"Version":"1.0.0.1"})", large};
  ASSERT_TRUE(parse_file("{}"));  // the test's own first file write maps its buffers
  const long before = mapped_kb();
  constexpr int rounds = 8;
  for (int round = 0; round < rounds; ++round) {
    for (const std::string& text : texts) {
      unique_json doc = parse_file(text);
      ASSERT_TRUE(doc);
      EXPECT_NE(json_get_string(doc.get(), "version"), nullptr);
      EXPECT_GE(mapped_kb(), before + 64);
    }
  }
  // The smallest document takes a 64 kB chunk: one kept per document would
  // be 16 of them by now.
  EXPECT_LT(mapped_kb(), before + 64 * rounds / 2);
  EXPECT_EQ(json_get_int(parse_file(large).get(), "plugindata"), 1);
}

}  // namespace
