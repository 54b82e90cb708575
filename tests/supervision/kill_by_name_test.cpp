#include "supervision/kill_by_name.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <string>

#include "support/scratch_tree.h"

namespace {

class kill_by_name_test : public ::testing::Test {
 protected:
  void SetUp() override {
    ENTER_SCRATCH_TREE();
    // A killall of our own, first on PATH, that records its arguments.
    write_text("killall", "#!/bin/sh\necho \"$*\" > killall.txt\n");
    ASSERT_EQ(::chmod("killall", 0755), 0);
    std::array<char, 4096> here{};
    ASSERT_NE(::getcwd(here.data(), here.size()), nullptr);
    const char* path = std::getenv("PATH");
    saved_path_ = path != nullptr ? path : "/usr/bin:/bin";
    ASSERT_EQ(::setenv("PATH", (std::string(here.data()) + ":" + saved_path_).c_str(), 1), 0);
  }
  void TearDown() override { (void)::setenv("PATH", saved_path_.c_str(), 1); }

  std::string saved_path_;
};

// "--" only where a name would read as an option: busybox's killall takes it
// for a name of its own and then fails.
TEST_F(kill_by_name_test, the_name_is_one_argument_and_guarded_only_when_it_looks_like_an_option) {
  const struct {
    const char* name;
    const char* expected;
  } table[] = {
      {"probe", "-9 probe\n"},
      {"x;reboot", "-9 x;reboot\n"},
      {"-e", "-9 -- -e\n"},
  };
  for (const auto& row : table) {
    kill_by_name(row.name);
    EXPECT_EQ(read_text("killall.txt"), row.expected) << row.name;
  }
}

}  // namespace
