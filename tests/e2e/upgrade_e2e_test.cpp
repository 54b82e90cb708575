// Upgrade packages end to end: a child leaves the package and exits 130-132.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "harness.h"

namespace {

class upgrade_e2e : public e2e_case {
 protected:
  // pkg.tgz in the supervisor's directory, holding the fake plugin as `name`.
  void make_package(const std::string& name) {
    const std::string command = "cd '" + sup_dir() + "' && mkdir -p pkgsrc && cp '" +
                                E2E_FAKE_PLUGIN + "' 'pkgsrc/" + name +
                                "' && tar -czf pkg.tgz -C pkgsrc .";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  void watch_upgrader(const std::string& code) {
    config(R"({"__watch":{"processes":[{"base":"upgrader"},{"base":"other"}]}})");
    program("upgrader");
    program("other");
    script("upgrader", {"package pkg.tgz exit " + code, "run"});
  }
};

struct earlier_record {
  const char* name;
  const char* text;  // null: no record file
};

class upgrade_unpack : public upgrade_e2e, public ::testing::WithParamInterface<earlier_record> {};

TEST_P(upgrade_unpack, exit_130_unpacks_and_restarts_everything_in_plugin_mode) {
  watch_upgrader("130");
  make_package("other");
  data_program("upgrader");
  if (GetParam().text != nullptr) write_file("../data/.bootchk", GetParam().text);
  ASSERT_TRUE(start());
  const std::string plugin_args = " -r 130 -T /tmp/.uci/ -D ../data/ -O pellavora_K2310";
  // The first `other` may be killed before it could log its start.
  EXPECT_TRUE(wait_until(
      [&] {
        const auto lines = starts("other");
        return !lines.empty() && lines.back() == "../data//other" + plugin_args;
      },
      20));
  ASSERT_TRUE(wait_until([&] { return starts("upgrader").size() >= 2; }, 20));
  EXPECT_EQ(starts("upgrader")[1], "../data//upgrader" + plugin_args);
  EXPECT_EQ(read_file("../data/.bootchk"), R"({"version":"1.0.0.1","plugindata":1})");
  EXPECT_FALSE(path_exists(uci_path("ttupgrade.tgz")));
}

// A record that is valid JSON but no object counts as none and is replaced.
INSTANTIATE_TEST_SUITE_P(table, upgrade_unpack,
                         ::testing::Values(earlier_record{"no_record", nullptr},
                                           earlier_record{"array_record", "[]"}),
                         param_name{});

TEST_F(upgrade_e2e, exit_131_copies_to_init_bin) {
  watch_upgrader("131");
  make_package("other");
  ASSERT_TRUE(start());
  ASSERT_TRUE(wait_until([&] { return starts("upgrader").size() >= 2; }, 20));
  EXPECT_EQ(starts("upgrader")[1], "upgrader -r 131");
  EXPECT_EQ(read_file("../data/.bootchk"), R"({"version":"1.0.0.1","luadata":1})");
  EXPECT_EQ(read_file("../data/init.bin"), read_file("pkg.tgz"));
  EXPECT_FALSE(path_exists(uci_path("ttupgrade.tgz")));
}

struct odd_package_case {
  const char* name;
  const char* code;
  const char* make;  // shell commands in the case's namespace; <pkg> is sup/pkg.tgz
};

class odd_package_e2e : public upgrade_e2e,
                        public ::testing::WithParamInterface<odd_package_case> {};

// Anything but a regular file at the package path is no package: nothing is
// read from it (a FIFO without a writer once froze the loop), installed,
// recorded or deleted, and the loop starts its new cycle at once.
TEST_P(odd_package_e2e, is_left_alone_as_if_missing) {
  watch_upgrader(GetParam().code);
  script("upgrader", {std::string("exit ") + GetParam().code, "run"});
  make_package("other");
  std::string make = GetParam().make;
  if (const auto at = make.find("<pkg>"); at != std::string::npos)
    make.replace(at, 5, sup_dir() + "/pkg.tgz");
  start_options options;
  options.setup = "mkdir -p /tmp/.uci && " + make;
  ASSERT_TRUE(start(options));
  ASSERT_TRUE(wait_until([&] { return starts("upgrader").size() >= 2; }, 20));
  EXPECT_EQ(starts("upgrader")[1], std::string("upgrader -r ") + GetParam().code);
  EXPECT_FALSE(path_exists(data_dir() + "/.bootchk"));
  EXPECT_FALSE(path_exists(data_dir() + "/other"));
  EXPECT_FALSE(path_exists(data_dir() + "/init.bin"));
  EXPECT_TRUE(path_exists(uci_path("ttupgrade.tgz")));
}

INSTANTIATE_TEST_SUITE_P(
    table, odd_package_e2e,
    ::testing::Values(odd_package_case{"fifo_copy", "131", "mkfifo /tmp/.uci/ttupgrade.tgz"},
                      odd_package_case{"fifo_unpack", "130", "mkfifo /tmp/.uci/ttupgrade.tgz"},
                      odd_package_case{"link_unpack", "130", "ln -s <pkg> /tmp/.uci/ttupgrade.tgz"},
                      odd_package_case{"link_copy", "131", "ln -s <pkg> /tmp/.uci/ttupgrade.tgz"}),
    param_name{});

TEST_F(upgrade_e2e, exit_132_without_a_package_changes_nothing) {
  config(R"({"__watch":{"processes":[{"base":"upgrader"}]}})");
  program("upgrader");
  script("upgrader", {"exit 132", "run"});
  ASSERT_TRUE(start());
  ASSERT_TRUE(wait_until([&] { return starts("upgrader").size() >= 2; }, 20));
  EXPECT_EQ(starts("upgrader")[1], "upgrader -r 132");
  EXPECT_FALSE(path_exists(data_dir() + "/.bootchk"));
}

TEST_F(upgrade_e2e, temporary_records_left_by_a_crash_are_removed_at_start) {
  config(R"({"__watch":{"processes":[{"base":"upgrader"}]}})");
  program("upgrader");
  write_file("../data/.bootchk", R"({"version":"1.0.0.1"})");
  write_file("../data/.bootchk.AbC123", R"({"version":"1.0.0.1","plugi)");
  // Only names of exactly that pattern are ours to remove.
  for (const char* other : {".bootchk.AbC1234", ".bootchk.AbC12", ".bootchk.AbC-12", "x.AbC123"})
    write_file(std::string("../data/") + other, "keep");
  ASSERT_TRUE(start());
  ASSERT_TRUE(wait_until([&] { return starts("upgrader").size() >= 1; }, 20));
  EXPECT_FALSE(path_exists(data_dir() + "/.bootchk.AbC123"));
  for (const char* other : {".bootchk.AbC1234", ".bootchk.AbC12", ".bootchk.AbC-12", "x.AbC123"})
    EXPECT_EQ(read_file(std::string("../data/") + other), "keep") << other;
  EXPECT_EQ(read_file("../data/.bootchk"), R"({"version":"1.0.0.1"})");
}

}  // namespace
