// Upgrade packages end to end: a child leaves the package and exits 130-132.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ios>
#include <sstream>
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
  // pkg.tgz from sup/pkgsrc after `fill` ran there; `members` as GNU tar takes
  // them (the system's, also when busybox's is first in PATH).
  void pack(const std::string& fill, const std::string& members = ".") {
    const std::string command = "cd '" + sup_dir() + "' && mkdir -p pkgsrc && cd pkgsrc && " +
                                fill + " && command -p tar -czf ../pkg.tgz " + members;
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

// A package torn half-way (and one that fills the partition) leaves ../data/
// exactly as it was, with no staging directory behind, and says why.
TEST_F(upgrade_e2e, exit_130_with_a_torn_package_changes_nothing_and_says_so) {
  watch_upgrader("130");
  write_file("../data/hello.txt", "old");
  write_file("../data/sub/nested.txt", "old");
  ASSERT_NO_FATAL_FAILURE(
      pack("echo new >hello.txt && mkdir sub && echo new >sub/nested.txt && "
           "head -c 300000 /dev/urandom >big.bin",
           "hello.txt sub big.bin && head -c 150000 ../pkg.tgz >../torn && "
           "mv ../torn ../pkg.tgz"));
  ASSERT_TRUE(start());
  ASSERT_TRUE(wait_until([&] { return starts("upgrader").size() >= 2; }, 20));
  EXPECT_EQ(read_file("../data/hello.txt") + read_file("../data/sub/nested.txt"), "oldold");
  EXPECT_EQ(std::system(
                ("test \"$(ls -A '" + data_dir() + "')\" = \".bootchk\nhello.txt\nsub\"").c_str()),
            0);
  EXPECT_EQ(read_file("../data/.bootchk"), R"({"version":"1.0.0.1"})");
  EXPECT_NE(stdout_text().find("failed to unpack /tmp/.uci//ttupgrade.tgz: tar exited with "),
            std::string::npos)
      << stdout_text();
}

// A link left in ../data/ is replaced, never followed, and a package built by
// a user (owners 1000, a "./" of mode 0777) hands nothing over to that user.
TEST_F(upgrade_e2e, exit_130_replaces_links_and_keeps_owners_and_the_data_mode) {
  watch_upgrader("130");
  data_program("upgrader");
  ASSERT_EQ(std::system(("mkdir '" + case_dir() + "/outside' && ln -s '" + case_dir() +
                         "/outside' '" + data_dir() + "/plug'")
                            .c_str()),
            0);
  ASSERT_NO_FATAL_FAILURE(pack(std::string("cp '") + E2E_FAKE_PLUGIN +
                                   "' other && mkdir plug && echo x >plug/x && chmod 0777 .",
                               "--owner=1000 --group=1000 ."));
  struct stat before {};
  ASSERT_EQ(::stat(data_dir().c_str(), &before), 0);
  ASSERT_TRUE(start());
  ASSERT_TRUE(wait_until([&] { return starts("upgrader").size() >= 2; }, 20));
  EXPECT_FALSE(path_exists(case_dir() + "/outside/x"));
  EXPECT_EQ(read_file("../data/plug/x"), "x\n");
  struct stat after {};
  struct stat file {};
  ASSERT_EQ(::stat(data_dir().c_str(), &after), 0);
  ASSERT_EQ(::stat((data_dir() + "/plug/x").c_str(), &file), 0);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(after.st_uid + file.st_uid + file.st_gid, 0U);
  EXPECT_EQ(read_file("../data/.bootchk"), R"({"version":"1.0.0.1","plugindata":1})");
}

// The record names new data only once they are on disk: a failed flush of
// the data's filesystem leaves out "plugindata".
TEST_F(upgrade_e2e, exit_130_with_data_not_flushed_adds_no_plugindata) {
  watch_upgrader("130");
  make_package("other");
  start_options options;
  options.env = {"SUP_FAIL_SYNCFS=1"};
  ASSERT_TRUE(start(options));
  ASSERT_TRUE(wait_until([&] { return starts("upgrader").size() >= 2; }, 20));
  EXPECT_EQ(starts("upgrader")[1], "upgrader -r 130");
  EXPECT_EQ(read_file("../data/.bootchk"), R"({"version":"1.0.0.1"})");
  EXPECT_NE(stdout_text().find("failed to sync ../data/: Input/output error\n"), std::string::npos)
      << stdout_text();
}

// init.bin and the record are flushed before each is renamed into place: a
// flush that fails leaves both as they were, and no temporary file.
// (Not named exit_131_...: the static daemons of the smoke runs load no preload library.)
TEST_F(upgrade_e2e, a_copy_not_flushed_keeps_init_bin_and_the_record) {
  watch_upgrader("131");
  ASSERT_NO_FATAL_FAILURE(pack("head -c 4000 /dev/urandom >blob"));
  write_file("../data/.bootchk", R"({"version":"1.0.0.1"})");
  write_file("../data/init.bin", "old");
  start_options options;
  options.env = {"SUP_FAIL_FSYNC=1"};
  ASSERT_TRUE(start(options));
  ASSERT_TRUE(wait_until([&] { return starts("upgrader").size() >= 2; }, 20));
  EXPECT_EQ(read_file("../data/init.bin"), "old");
  EXPECT_EQ(read_file("../data/.bootchk"), R"({"version":"1.0.0.1"})");
  EXPECT_EQ(
      std::system(("test \"$(ls -A '" + data_dir() + "')\" = \".bootchk\ninit.bin\"").c_str()), 0);
  const std::string out = stdout_text();
  EXPECT_NE(out.find("failed to copy /tmp/.uci//ttupgrade.tgz to ../data//init.bin: "
                     "Input/output error\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("failed to write ../data//.bootchk: Input/output error\n"), std::string::npos)
      << out;
}

struct init_bin_case {
  const char* name;
  const char* setup;  // shell commands in the namespace; <data> and <case> are replaced
  const char* said;   // a line standard output must show, or ""
  bool copied;        // init.bin is the package afterwards; else 20000 zero bytes
};

class upgrade_init_bin : public upgrade_e2e, public ::testing::WithParamInterface<init_bin_case> {};

// init.bin is replaced by rename: a full partition keeps the old one whole
// (and adds no "luadata"), a link there is replaced, not written through.
TEST_P(upgrade_init_bin, exit_131_replaces_init_bin_whole_or_not_at_all) {
  watch_upgrader("131");
  ASSERT_NO_FATAL_FAILURE(pack("head -c 40000 /dev/urandom >blob"));
  std::string setup = GetParam().setup;
  for (const auto& [key, value] :
       {std::pair{"<data>", data_dir()}, std::pair{"<case>", case_dir()}})
    for (auto at = setup.find(key); at != std::string::npos; at = setup.find(key))
      setup.replace(at, std::string(key).size(), value);
  write_file("../outside", "outer");
  start_options options;
  options.setup = setup;
  ASSERT_TRUE(start(options));
  ASSERT_TRUE(wait_until([&] { return starts("upgrader").size() >= 2; }, 20));
  const std::string data = ns_path(data_dir());
  EXPECT_EQ(read_text_file(data + "/init.bin"),
            GetParam().copied ? read_file("pkg.tgz") : std::string(20000, '\0'));
  EXPECT_EQ(read_text_file(data + "/.bootchk"), GetParam().copied
                                                    ? R"({"version":"1.0.0.1","luadata":1})"
                                                    : R"({"version":"1.0.0.1"})");
  EXPECT_EQ(std::system(("test \"$(ls -A '" + data + "')\" = \".bootchk\ninit.bin\"").c_str()), 0);
  EXPECT_EQ(read_file("../outside"), "outer");
  EXPECT_NE(stdout_text().find(GetParam().said), std::string::npos) << stdout_text();
  // The new content never runs with a set-ID bit the old one had.
  struct stat status {};
  ASSERT_EQ(::lstat((data + "/init.bin").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 06022, 0U) << std::oct << status.st_mode;
}

INSTANTIATE_TEST_SUITE_P(
    table, upgrade_init_bin,
    ::testing::Values(
        init_bin_case{"full_partition",
                      "mount -t tmpfs -o size=48k tmpfs <data> && "
                      "head -c 20000 /dev/zero >'<data>/init.bin'",
                      "failed to copy /tmp/.uci//ttupgrade.tgz to ../data//init.bin: No space left "
                      "on device\n",
                      false},
        init_bin_case{"link", "ln -s '<case>/sup/../outside' '<data>/init.bin'", "", true},
        init_bin_case{"set_id_mode",
                      "head -c 20000 /dev/zero >'<data>/init.bin' && chmod 6777 '<data>/init.bin'",
                      "", true}),
    param_name{});

// A second supervisor sharing ../data/ clears leftovers only under the lock
// of ../data/, so it never deletes the temporary record of an installation
// in flight.
// Another supervisor sharing ../data/ holds its lock (a 0600 file of root's
// in /tmp/.uci/ named after the directory).
class upgrade_data_lock : public upgrade_e2e, public ::testing::WithParamInterface<bool> {
 protected:
  std::string hold_data_lock(const std::string& until) {
    struct stat data {};
    EXPECT_EQ(::stat(data_dir().c_str(), &data), 0);
    std::array<char, 128> name{};
    (void)std::snprintf(name.data(), name.size(), "/tmp/.uci/.data-%llx-%llu.lock",
                        static_cast<unsigned long long>(data.st_dev),
                        static_cast<unsigned long long>(data.st_ino));
    const std::string lock = name.data();
    // The holder has the lock once a try of our own fails.
    return "mkdir /tmp/.uci && (umask 077 && : >" + lock + ") && { flock " + lock + " sh -c '" +
           until + "' & } && while flock -n " + lock + " true; do sleep 0.02; done";
  }
};

TEST_P(upgrade_data_lock, start_up_clears_leftovers_only_under_the_lock_of_data) {
  const bool released = GetParam();
  config(R"({"__watch":{"processes":[{"base":"upgrader"}]}})");
  program("upgrader");
  write_file("../data/.bootchk.AbC123", "{}");
  start_options options;
  options.setup =
      hold_data_lock(released ? "while [ ! -e " + case_dir() + "/release ]; do sleep 0.02; done"
                              : "exec sleep 1000");
  // Unscaled, the wait lasts 60 s: far longer than the release takes.
  if (released) options.time_scale = 1;
  ASSERT_TRUE(start(options));
  const auto cleared = [&] { return !path_exists(data_dir() + "/.bootchk.AbC123"); };
  const std::string waiting = "waiting up to 60 s for another supervisor's lock of ../data/\n";
  EXPECT_TRUE(
      wait_until([&] { return stdout_text() == waiting || !starts("upgrader").empty(); }, 20));
  EXPECT_FALSE(cleared());
  if (released) {
    write_file("../release", "");
    EXPECT_TRUE(wait_until([&] { return cleared() && !starts("upgrader").empty(); }, 20));
    EXPECT_EQ(stdout_text(), waiting);
  } else {
    // The wait is bounded: supervision goes on without the clean-up. Its 600
    // polls take a while under an emulator, whatever the time scale.
    EXPECT_TRUE(wait_until([&] { return !starts("upgrader").empty(); }, 90));
    EXPECT_EQ(stdout_text(), waiting +
                                 "failed to lock ../data/: another supervisor held it "
                                 "for 60 s\n");
    EXPECT_FALSE(cleared());
  }
}

INSTANTIATE_TEST_SUITE_P(table, upgrade_data_lock, ::testing::Bool(), [](const auto& param) {
  return std::string(param.param ? "released" : "held_for_good");
});

TEST_F(upgrade_e2e, temporary_records_left_by_a_crash_are_removed_at_start) {
  config(R"({"__watch":{"processes":[{"base":"upgrader"}]}})");
  program("upgrader");
  write_file("../data/.bootchk", R"({"version":"1.0.0.1"})");
  write_file("../data/.bootchk.AbC123", R"({"version":"1.0.0.1","plugi)");
  // So are the staging directory and temporary init.bin of an installation.
  write_file("../data/.plugsup-unpack.AbC123/root/deep/x", "x");
  write_file("../data/.init.bin.AbC123", "x");
  // Only names of exactly that pattern are ours to remove.
  for (const char* other : {".bootchk.AbC1234", ".bootchk.AbC12", ".bootchk.AbC-12", "x.AbC123"})
    write_file(std::string("../data/") + other, "keep");
  ASSERT_TRUE(start());
  ASSERT_TRUE(wait_until([&] { return starts("upgrader").size() >= 1; }, 20));
  for (const char* leftover : {".bootchk.AbC123", ".plugsup-unpack.AbC123", ".init.bin.AbC123"})
    EXPECT_FALSE(path_exists(data_dir() + "/" + leftover)) << leftover;
  for (const char* other : {".bootchk.AbC1234", ".bootchk.AbC12", ".bootchk.AbC-12", "x.AbC123"})
    EXPECT_EQ(read_file(std::string("../data/") + other), "keep") << other;
  EXPECT_EQ(read_file("../data/.bootchk"), R"({"version":"1.0.0.1"})");
}

TEST_F(upgrade_e2e, a_supervisor_killed_while_tar_runs_can_start_again_at_once) {
  watch_upgrader("130");
  make_package("other");
  write_file("slow-tar", "#!/bin/sh\ntouch " + sup_dir() +
                             "/log/tar.started\nLD_PRELOAD= sleep 60\nexec /tmp/tar.real \"$@\"\n");
  const std::string slow = sup_dir() + "/slow-tar";
  start_options options;
  options.setup = "cp \"$(command -v tar)\" /tmp/tar.real && chmod +x " + slow +
                  " && mount --bind " + slow + " \"$(command -v tar)\"";
  ASSERT_TRUE(start(options));
  ASSERT_TRUE(wait_until([&] { return path_exists(sup_dir() + "/log/tar.started"); }, 20));
  signal_supervisor(SIGUSR1);  // SIGKILL of the supervisor
  ASSERT_EQ(exit_status(20), "signal 9");
  // The next one may take over at once: nothing of the killed one holds its locks.
  const command_result next = run_in_namespace("./sup", {}, sup_dir(), 3);
  EXPECT_EQ(next.out.find("already in use"), std::string::npos) << next.out;
  EXPECT_EQ(next.status, "timeout") << next.out;
}

// Modes of entries of ../data/ (octal, set-ID and write bits of others
// included), for what a package brought.
std::string mode_of(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return "missing";
  std::ostringstream octal;
  octal << std::oct << (status.st_mode & 07777);
  return octal.str();
}

// Nothing of a package runs with its owner's rights or can be changed by
// others once installed.
TEST_F(upgrade_e2e, exit_130_drops_set_id_and_others_write_bits) {
  watch_upgrader("130");
  data_program("upgrader");
  ASSERT_NO_FATAL_FAILURE(pack(std::string("cp '") + E2E_FAKE_PLUGIN +
                               "' other && chmod 4755 other && mkdir sdir && echo x >sdir/f && "
                               "chmod 6777 sdir/f && chmod 2777 sdir"));
  ASSERT_TRUE(start());
  ASSERT_TRUE(wait_until([&] { return starts("upgrader").size() >= 2; }, 20));
  EXPECT_EQ(read_file("../data/.bootchk"), R"({"version":"1.0.0.1","plugindata":1})");
  EXPECT_EQ(mode_of(data_dir() + "/other") + " " + mode_of(data_dir() + "/sdir") + " " +
                mode_of(data_dir() + "/sdir/f"),
            "755 755 755");
}

struct refused_package_case {
  const char* name;
  const char* fill;     // shell commands in sup/pkgsrc; "pack:" then members
  const char* members;  // as GNU tar takes them
  const char* said;     // the line standard output must show
};

class upgrade_refused_package : public upgrade_e2e,
                                public ::testing::WithParamInterface<refused_package_case> {};

// A device node, or a hard link that busybox's tar makes through a link of
// the same archive (s -> ../.., then victim linked to s/victim: the very
// file of ../data/), is refused whole, whichever tar unpacks: ../data/ stays
// as it was and the loop goes on. GNU tar itself refuses the link.
TEST_P(upgrade_refused_package, leaves_data_as_it_was) {
  watch_upgrader("130");
  write_file("../data/victim", "old");
  write_file("../data/keep.txt", "old");
  ASSERT_NO_FATAL_FAILURE(pack(GetParam().fill, GetParam().members));
  ASSERT_TRUE(start());
  ASSERT_TRUE(wait_until([&] { return starts("upgrader").size() >= 2; }, 20));
  EXPECT_EQ(
      std::system(
          ("test \"$(ls -A '" + data_dir() + "')\" = \".bootchk\nkeep.txt\nvictim\"").c_str()),
      0);
  EXPECT_EQ(read_file("../data/victim") + read_file("../data/keep.txt"), "oldold");
  EXPECT_EQ(read_file("../data/.bootchk"), R"({"version":"1.0.0.1"})");
  const std::string out = stdout_text();
  EXPECT_TRUE(out.find(GetParam().said) != std::string::npos ||
              out.find("failed to unpack /tmp/.uci//ttupgrade.tgz: tar exited with ") !=
                  std::string::npos)
      << out;
}

INSTANTIATE_TEST_SUITE_P(
    table, upgrade_refused_package,
    ::testing::Values(
        refused_package_case{"device_node", "mknod mem c 1 1 && echo new >keep.txt", "keep.txt mem",
                             "failed to unpack /tmp/.uci//ttupgrade.tgz: ../data//mem: it is a "
                             "device, FIFO or socket, refused\n"},
        // The archive: the link s, then only the hard-link member victim.
        refused_package_case{
            "hard_link_through_a_link",
            "ln -s ../.. s && command -p tar -cf ../one.tar s && rm s && mkdir s && "
            "echo x >s/victim && ln s/victim victim && command -p tar -cf ../two.tar s/victim "
            "victim && command -p tar --delete -f ../two.tar s/victim && "
            "command -p tar -Af ../one.tar ../two.tar && rm -r s victim && echo new >keep.txt && "
            "command -p tar -rf ../one.tar keep.txt && gzip -c ../one.tar >../pkg.tgz && "
            "mkdir -p e && cd e",
            "-T /dev/null",
            "failed to unpack /tmp/.uci//ttupgrade.tgz: ../data//victim: it is a hard link, "
            "refused\n"}),
    param_name{});

struct half_way_case {
  const char* name;
  const char* setup;  // shell commands in the namespace; <data> is replaced
};

class upgrade_all_or_nothing : public upgrade_e2e,
                               public ::testing::WithParamInterface<half_way_case> {};

// A move that cannot go through whole leaves ../data/ as it was: a mount
// point inside is found before the first move, a rename that fails later
// (over a file bound onto itself: busy) has every earlier move undone.
TEST_P(upgrade_all_or_nothing, exit_130_changes_nothing_when_a_move_fails) {
  watch_upgrader("130");
  std::string fill = "mkdir sub && echo new >sub/x && echo new >zz";
  for (int i = 0; i < 20; ++i) fill += " && echo new >f" + std::to_string(i);
  for (int i = 0; i < 20; ++i) write_file("../data/f" + std::to_string(i), "old");
  write_file("../data/zz", "old");
  ASSERT_NO_FATAL_FAILURE(pack(fill));
  std::string setup = GetParam().setup;
  for (auto at = setup.find("<data>"); at != std::string::npos; at = setup.find("<data>"))
    setup.replace(at, 6, data_dir());
  start_options options;
  options.setup = setup;
  ASSERT_TRUE(start(options));
  ASSERT_TRUE(wait_until([&] { return starts("upgrader").size() >= 2; }, 20));
  int changed = 0;
  for (int i = 0; i < 20; ++i)
    changed += read_text_file(ns_path(data_dir()) + "/f" + std::to_string(i)) != "old";
  EXPECT_EQ(changed, 0) << "of 20 files";
  EXPECT_EQ(read_text_file(ns_path(data_dir()) + "/zz"), "old");
  EXPECT_FALSE(path_exists(ns_path(data_dir()) + "/sub/x"));
  EXPECT_EQ(read_text_file(ns_path(data_dir()) + "/.bootchk"), R"({"version":"1.0.0.1"})");
  EXPECT_NE(stdout_text().find("failed to unpack /tmp/.uci//ttupgrade.tgz: ../data//"),
            std::string::npos)
      << stdout_text();
}

INSTANTIATE_TEST_SUITE_P(table, upgrade_all_or_nothing,
                         ::testing::Values(half_way_case{"mount_point",
                                                         "mkdir <data>/sub && mount -t tmpfs tmpfs "
                                                         "<data>/sub"},
                                           half_way_case{"busy_file",
                                                         "mount --bind <data>/zz <data>/zz"}),
                         param_name{});

// A member name with a newline that stops the merge is escaped in the line.
TEST_F(upgrade_e2e, a_member_name_with_a_newline_stays_on_its_line) {
  watch_upgrader("130");
  write_file("../data/a\nb/keep", "x");
  ASSERT_NO_FATAL_FAILURE(pack("echo new >\"$(printf 'a\\nb')\""));
  ASSERT_TRUE(start());
  ASSERT_TRUE(wait_until([&] { return starts("upgrader").size() >= 2; }, 20));
  EXPECT_EQ(split_lines(stdout_text())[0],
            "failed to unpack /tmp/.uci//ttupgrade.tgz: ../data//a\\x0ab: Directory not empty");
}

// Another user who may read ../data/ holds a flock on it all the time: the
// lock that orders installations is no file of theirs, so the start-up's
// clean-up and an installation go on.
TEST_F(upgrade_e2e, another_users_flock_on_data_stalls_nothing) {
  watch_upgrader("130");
  make_package("other");
  data_program("upgrader");
  start_options options;
  options.setup = "{ setpriv --reuid=65534 --regid=65534 --clear-groups flock -x '" + data_dir() +
                  "' sh -c 'echo >/tmp/held; exec sleep 1000' & } && "
                  "until [ -s /tmp/held ]; do :; done";
  ASSERT_TRUE(start(options));
  ASSERT_TRUE(wait_until([&] { return starts("upgrader").size() >= 2; }, 20)) << stdout_text();
  EXPECT_EQ(read_file("../data/.bootchk"), R"({"version":"1.0.0.1","plugindata":1})");
  EXPECT_EQ(stdout_text().find("lock"), std::string::npos) << stdout_text();
}

}  // namespace
