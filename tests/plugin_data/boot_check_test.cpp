#include "plugin_data/boot_check.h"

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <string>

#include "support/scratch_tree.h"

namespace {

const std::string record = "/tmp/case/data/.bootchk";

struct mode_case {
  const char* text;
  int mode;
  bool kept;
};

TEST(decide_plugin_mode, follows_the_record) {
  ENTER_SCRATCH_TREE();
  const mode_case cases[] = {
      {R"({"version":"1.0.0.1","plugindata":1})", 1, true},
      {R"({"version":"1.0.0.1","plugindata":true})", 1, true},
      {R"({"version":"1.0.0.1","plugindata":1.7})", 1, true},
      {R"({"version":"1.0.0.1","plugindata":"1"})", 0, true},
      {R"({"version":"1.0.0.1","plugindata":0})", 0, true},
      {R"({"version":"1.0.0.1","plugindata":2})", 0, true},
      {R"({"version":"1.0.0.1"})", 0, true},
      {R"({"version":"1.0.0.1","plugindata":0,"plugindata":1})", 0, true},
      {R"({"VERSION":"1.0.0.1","PluginData":1})", 1, true},
      {R"({"version":"2","other":[1,2],"plugindata":1})", 1, true},
      {R"({"version":"129.0.0.1","plugindata":1})", 1, true},
      {R"({"version":"255.255.255.255","plugindata":1})", 1, true},
      {R"({"version":1,"plugindata":1})", 0, true},
      {R"({"version":2,"version":"1.0.0.1","plugindata":1})", 0, true},
      {R"({"version":"1.0.0.0","plugindata":1})", 0, false},
      {R"({"version":"1.0.0","plugindata":1})", 0, false},
      {R"({"version":"0.9.9.9","plugindata":1})", 0, false},
      {R"({"version":"1.0.0.256"})", 0, false},
      {R"({"version":"1.0.0.1","plugindata":1)", 0, true},  // malformed
      {R"([{"version":"1.0.0.1","plugindata":1}])", 0, true},
      {R"("1.0.0.1")", 0, true},
      {"[]", 0, true},
      {"0", 0, true},
      {"null", 0, true},
      {"", 0, true},
  };
  for (const mode_case& c : cases) {
    SCOPED_TRACE(c.text);
    write_text(record, c.text);
    EXPECT_EQ(decide_plugin_mode(), c.mode);
    EXPECT_EQ(file_exists(record), c.kept);
    if (c.kept) {
      EXPECT_EQ(read_text(record), c.text);
    }
  }
  (void)::unlink(record.c_str());
  EXPECT_EQ(decide_plugin_mode(), 0);
  EXPECT_FALSE(file_exists(record));
}

TEST(remove_boot_check_record, reports_whether_the_record_went) {
  ENTER_SCRATCH_TREE();
  EXPECT_EQ(remove_boot_check_record(), 0);

  write_text(record, "not json at all");
  EXPECT_EQ(remove_boot_check_record(), 1);
  EXPECT_FALSE(file_exists(record));
}

// Root ignores permission bits, so a read-only bind mount of the data
// directory (private to this test's namespace) is what makes unlink fail.
TEST(remove_boot_check_record, keeps_a_record_it_cannot_unlink) {
  ENTER_SCRATCH_TREE();
  const std::string stale = R"({"version":"1.0.0.0","plugindata":1})";
  write_text(record, stale);
  const char* data = "/tmp/case/data";
  ASSERT_EQ(::mount(data, data, nullptr, MS_BIND, nullptr), 0);
  ASSERT_EQ(::mount(nullptr, data, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr), 0);

  EXPECT_EQ(remove_boot_check_record(), 0);
  EXPECT_EQ(decide_plugin_mode(), 0);
  EXPECT_EQ(read_text(record), stale);
}

}  // namespace
