// The plugin SDK, compiled as C++ here (the example plugin compiles it as C).
#include <dirent.h>
#include <gtest/gtest.h>
#include <plugsup/plugin.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/scratch_tree.h"

namespace {

struct parse_case {
  std::vector<const char*> argv;
  const char* error;  // null: accepted
};

// Parses argv; the error text, or "" when it was accepted.
std::string parse(std::vector<const char*> argv, plugsup_args* args) {
  char error[128] = "untouched";
  const int result =
      plugsup_parse_args(static_cast<int>(argv.size()), const_cast<char* const*>(argv.data()), args,
                         error, sizeof error);
  EXPECT_EQ(result == 0, error[0] == '\0') << error;
  return error;
}

TEST(plugin_args, what_the_supervisor_sends_is_read_whole) {
  plugsup_args args;
  ASSERT_EQ(parse({"../data//probe", "-r", "160", "-d", "-A", "/tmp/.uci//probe.alive", "-T",
                   "/tmp/.uci/", "-D", "../data/", "-O", "pellavora_K2310"},
                  &args),
            "");
  EXPECT_STREQ(args.program, "../data//probe");
  EXPECT_EQ(args.restart_reason, 160);
  EXPECT_EQ(args.debug, 1);
  EXPECT_STREQ(args.alive_path, "/tmp/.uci//probe.alive");
  EXPECT_EQ(args.plugin_mode, 1);
  EXPECT_STREQ(args.uci_dir, "/tmp/.uci/");
  EXPECT_STREQ(args.data_dir, "../data/");
  EXPECT_STREQ(args.product, "pellavora_K2310");

  ASSERT_EQ(parse({"probe"}, &args), "");
  EXPECT_EQ(args.restart_reason, 0);
  EXPECT_EQ(args.debug, 0);
  EXPECT_EQ(args.alive_path, nullptr);
  EXPECT_EQ(args.plugin_mode, 0);
  EXPECT_EQ(args.product, nullptr);
}

TEST(plugin_args, each_group_alone_or_rejected_with_its_reason) {
  const parse_case table[] = {
      {{"p", "-r", "11"}, nullptr},
      {{"p", "-r", "255"}, nullptr},
      {{"p", "-d"}, nullptr},
      {{"p", "-A", "/tmp/.uci//p.alive"}, nullptr},
      {{"p", "-T", "/tmp/.uci/", "-D", "../data/", "-O", "x"}, nullptr},
      // A later supervisor's option is skipped, with its value when it has one.
      {{"p", "-x"}, nullptr},
      {{"p", "--debug", "-r", "5"}, nullptr},
      {{"p", "-r", "5", "-Z", "future", "-d", "-Y"}, nullptr},
      {{"p", "-Z", "future", "extra"}, "unexpected argument extra"},
      {{"p", "extra"}, "unexpected argument extra"},
      {{"p", "-"}, "unexpected argument -"},
      {{"p", "-r"}, "missing value after -r"},
      {{"p", "-r", "-d"}, "missing value after -r"},
      {{"p", "-A", ""}, "missing value after -A"},
      {{"p", "-r", "x1"}, "restart reason is not 1 to 255: x1"},
      {{"p", "-r", "0"}, "restart reason is not 1 to 255: 0"},
      {{"p", "-r", "011"}, "restart reason is not 1 to 255: 011"},
      {{"p", "-r", "256"}, "restart reason is not 1 to 255: 256"},
      {{"p", "-r", "99999999999"}, "restart reason is not 1 to 255: 99999999999"},
      {{"p", "-d", "-r", "5"}, "option repeated or out of order: -r"},
      {{"p", "-d", "-d"}, "option repeated or out of order: -d"},
      {{"p", "-T", "/tmp/.uci/", "-D", "../data/", "-O", "x", "-A", "a"},
       "option repeated or out of order: -A"},
      {{"p", "-T", "/tmp/.uci/"}, "incomplete plugin group, expected -D"},
      {{"p", "-T", "/tmp/.uci/", "-O", "x", "-D", "../data/"},
       "incomplete plugin group, expected -D"},
      {{"p", "-D", "../data/"}, "incomplete plugin group, expected -T"},
      {{"p", "-T", "/tmp/.uci/", "-D", "../data/", "-O"}, "missing value after -O"},
  };
  for (const auto& row : table) {
    plugsup_args args;
    EXPECT_EQ(parse(row.argv, &args), row.error != nullptr ? row.error : "") << row.argv[1];
  }
  // The error buffer is optional and never overrun.
  plugsup_args args;
  const char* argv[] = {"p", "x"};
  EXPECT_EQ(plugsup_parse_args(2, const_cast<char* const*>(argv), &args, nullptr, 0), -1);
  char tiny[4];
  EXPECT_EQ(plugsup_parse_args(2, const_cast<char* const*>(argv), &args, tiny, sizeof tiny), -1);
  EXPECT_STREQ(tiny, "une");
}

class plugin_files : public ::testing::Test {
 protected:
  void SetUp() override { ENTER_SCRATCH_TREE(); }

  static std::vector<std::string> uci_files() {
    std::vector<std::string> names;
    DIR* dir = ::opendir("/tmp/.uci");
    for (dirent* entry; dir != nullptr && (entry = ::readdir(dir)) != nullptr;)
      if (entry->d_name[0] != '.' || std::string(entry->d_name).size() > 2)
        names.emplace_back(entry->d_name);
    if (dir != nullptr) ::closedir(dir);
    return names;
  }
};

TEST_F(plugin_files, keep_alive_touches_once_per_interval) {
  plugsup_args args;
  ASSERT_EQ(parse({"p", "-A", "/tmp/.uci//p.alive"}, &args), "");
  EXPECT_EQ(plugsup_keep_alive(&args), 1);
  EXPECT_TRUE(file_exists("/tmp/.uci/p.alive"));
  ASSERT_EQ(::unlink("/tmp/.uci/p.alive"), 0);  // as the watchdog does
  EXPECT_EQ(plugsup_keep_alive(&args), 0);
  EXPECT_FALSE(file_exists("/tmp/.uci/p.alive"));
  args.alive_touched_at.tv_sec -= PLUGSUP_ALIVE_INTERVAL_S;  // the interval has passed
  EXPECT_EQ(plugsup_keep_alive(&args), 1);
  EXPECT_TRUE(file_exists("/tmp/.uci/p.alive"));

  ASSERT_EQ(parse({"p"}, &args), "");
  EXPECT_EQ(plugsup_keep_alive(&args), 0);  // no -A: nothing to do

  // A link planted in its place is not followed.
  ASSERT_EQ(::symlink("/tmp/case/elsewhere", "/tmp/.uci/q.alive"), 0);
  ASSERT_EQ(parse({"q", "-A", "/tmp/.uci//q.alive"}, &args), "");
  EXPECT_EQ(plugsup_keep_alive(&args), -1);
  EXPECT_FALSE(file_exists("/tmp/case/elsewhere"));
}

TEST_F(plugin_files, staging_puts_the_whole_package_in_place_and_leaves_nothing_else) {
  const std::string package(100000, 'p');
  write_text("pkg.tgz", package);
  write_text("/tmp/.uci/ttupgrade.tgz", "an older package");
  ASSERT_EQ(plugsup_stage_upgrade(nullptr, "pkg.tgz"), 0);
  EXPECT_EQ(read_text("/tmp/.uci/ttupgrade.tgz"), package);
  EXPECT_EQ(read_text("pkg.tgz"), package);
  EXPECT_EQ(uci_files(), std::vector<std::string>{"ttupgrade.tgz"});

  ASSERT_EQ(::unlink("/tmp/.uci/ttupgrade.tgz"), 0);
  errno = 0;
  EXPECT_EQ(plugsup_stage_upgrade(nullptr, "missing.tgz"), -1);
  EXPECT_EQ(errno, ENOENT);
  ASSERT_EQ(::mkdir("dir.tgz", 0755), 0);
  EXPECT_EQ(plugsup_stage_upgrade(nullptr, "dir.tgz"), -1);  // read fails: EISDIR
  EXPECT_EQ(uci_files(), std::vector<std::string>{});

  errno = 0;
  EXPECT_EQ(plugsup_hand_over_upgrade(nullptr, "pkg.tgz", PLUGSUP_EXIT_FRESH_START), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(uci_files(), std::vector<std::string>{});

  // The directory named with -T, not the usual one.
  plugsup_args args;
  ASSERT_EQ(parse({"p", "-T", "/tmp/case/uci", "-D", "../data/", "-O", "x"}, &args), "");
  ASSERT_EQ(::mkdir("/tmp/case/uci", 0755), 0);
  ASSERT_EQ(plugsup_stage_upgrade(&args, "pkg.tgz"), 0);
  EXPECT_EQ(read_text("/tmp/case/uci/ttupgrade.tgz"), package);
  EXPECT_EQ(uci_files(), std::vector<std::string>{});
  const std::string too_long(5000, 'd');
  args.uci_dir = too_long.c_str();
  EXPECT_EQ(plugsup_stage_upgrade(&args, "pkg.tgz"), -1);
  EXPECT_EQ(errno, ENAMETOOLONG);
}

TEST_F(plugin_files, hand_over_and_fresh_start_end_the_program_with_their_code) {
  write_text("pkg.tgz", "package");
  EXPECT_EXIT((void)plugsup_hand_over_upgrade(nullptr, "pkg.tgz", PLUGSUP_EXIT_UPGRADE_COPY),
              ::testing::ExitedWithCode(131), "");
  EXPECT_EQ(read_text("/tmp/.uci/ttupgrade.tgz"), "package");
  EXPECT_EXIT(plugsup_request_fresh_start(), ::testing::ExitedWithCode(160), "");
}

}  // namespace
