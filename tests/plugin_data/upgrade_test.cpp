#include "plugin_data/upgrade.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "plugin_data/staging.h"
#include "support/scratch_tree.h"

namespace {

const std::string package = "/tmp/.uci/ttupgrade.tgz";
const std::string data = "/tmp/case/data/";
const std::string record = data + ".bootchk";
const std::string printed_package = "/tmp/.uci//ttupgrade.tgz";
const std::string shipped_record = R"({"version":"9.9.9.9","plugindata":0})";

enum class package_kind {
  none,
  tgz,
  tgz_with_record,
  garbage,
  plain_tar,
  unreadable,
  directory,
  fifo,
  link_to_tgz,
};

// Only these survive the installation; every other package is deleted.
bool package_is_left(package_kind kind) {
  return kind == package_kind::unreadable || kind == package_kind::directory ||
         kind == package_kind::fifo || kind == package_kind::link_to_tgz;
}

void make_package(package_kind kind) {
  if (kind == package_kind::none) return;
  if (kind == package_kind::garbage) return write_text(package, "this is no archive\n");
  if (kind == package_kind::directory) {
    ASSERT_EQ(::mkdir(package.c_str(), 0755), 0);
    return;
  }
  if (kind == package_kind::fifo) {
    ASSERT_EQ(::mkfifo(package.c_str(), 0644), 0);
    return;
  }
  ASSERT_EQ(::mkdir("/tmp/build", 0755), 0);
  ASSERT_EQ(::mkdir("/tmp/build/lib", 0755), 0);
  write_text("/tmp/build/one.txt", "one\n");
  write_text("/tmp/build/lib/two.txt", "two\n");
  write_text("/tmp/build/.bootchk", shipped_record);
  const bool with_record = kind == package_kind::tgz_with_record;
  const std::string command =
      std::string("tar ") + (kind == package_kind::plain_tar ? "-cf " : "-czf ") + package +
      " -C /tmp/build " + (with_record ? ".bootchk one.txt" : "one.txt lib");
  ASSERT_EQ(std::system(command.c_str()), 0);
  if (kind == package_kind::unreadable) {
    ASSERT_EQ(::chmod(package.c_str(), 0), 0);
  }
  if (kind == package_kind::link_to_tgz) {
    ASSERT_EQ(::rename(package.c_str(), "/tmp/elsewhere.tgz"), 0);
    ASSERT_EQ(::symlink("/tmp/elsewhere.tgz", package.c_str()), 0);
  }
}

// Top-level names in the data directory, sorted and joined by spaces.
std::string data_entries() {
  std::vector<std::string> names;
  DIR* dir = ::opendir(data.c_str());
  if (dir == nullptr) return "<no data directory>";
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  (void)::closedir(dir);
  std::sort(names.begin(), names.end());
  std::string joined;
  for (const std::string& name : names) joined += (joined.empty() ? "" : " ") + name;
  return joined;
}

// Root reads every file through two capabilities; a child without them sees
// a mode 0000 package as unreadable, as an unprivileged supervisor would.
void install_without_read_override(int code) {
  std::fflush(stdout);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[2]{};
    const unsigned keep = ~((1U << CAP_DAC_OVERRIDE) | (1U << CAP_DAC_READ_SEARCH));
    if (::syscall(SYS_capget, &header, caps) != 0) ::_exit(2);
    caps[0].effective &= keep;
    caps[0].permitted &= keep;
    if (::syscall(SYS_capset, &header, caps) != 0) ::_exit(2);
    install_upgrade_package(code);
    std::fflush(stdout);
    ::_exit(0);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_EQ(status, 0);
}

struct upgrade_case {
  const char* name;
  int code;
  package_kind package;
  const char* record_before;  // null: no record file
  const char* record_after;   // null: no record file
  const char* entries;        // what the data directory holds afterwards
};

// Names the row in ctest's listing instead of dumping its bytes.
void PrintTo(const upgrade_case& c, std::ostream* out) { *out << c.name; }

// What an unpack or a copy put into the data directory is the package's.
void expect_payload(const std::string& package_bytes) {
  if (file_exists(data + "one.txt")) {
    EXPECT_EQ(read_text(data + "one.txt"), "one\n");
  }
  if (file_exists(data + "lib")) {
    EXPECT_EQ(read_text(data + "lib/two.txt"), "two\n");
  }
  if (file_exists(data + "init.bin")) {
    EXPECT_EQ(read_text(data + "init.bin"), package_bytes);
    struct stat status {};
    ASSERT_EQ(::stat((data + "init.bin").c_str(), &status), 0);
    const mode_t mask = ::umask(0);
    (void)::umask(mask);
    EXPECT_EQ(status.st_mode & 0777, 0700 & ~mask);
  }
}

class install_upgrade_package_case : public testing::TestWithParam<upgrade_case> {};

TEST_P(install_upgrade_package_case, leaves_the_expected_files) {
  const upgrade_case& c = GetParam();
  ENTER_SCRATCH_TREE();
  ASSERT_NO_FATAL_FAILURE(make_package(c.package));
  if (c.record_before != nullptr) write_text(record, c.record_before);
  // Reading a FIFO here would block as the installation once did.
  const std::string package_bytes = c.package == package_kind::fifo ? "" : read_text(package);

  testing::internal::CaptureStdout();
  if (c.package == package_kind::unreadable) {
    install_without_read_override(c.code);
  } else {
    install_upgrade_package(c.code);
  }
  // A failed step says so in one line.
  const bool unpack_fails =
      c.code == 130 && (c.package == package_kind::garbage || c.package == package_kind::plain_tar);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            unpack_fails ? "failed to unpack " + printed_package + ": tar exited with 2\n" : "");

  EXPECT_EQ(data_entries(), c.entries);
  EXPECT_EQ(file_exists(record), c.record_after != nullptr);
  if (c.record_after != nullptr) {
    EXPECT_EQ(read_text(record), c.record_after);
  }
  EXPECT_EQ(file_exists(package), package_is_left(c.package));
  if (c.package == package_kind::unreadable) {
    EXPECT_EQ(read_text(package), package_bytes);
  }
  expect_payload(package_bytes);
}

using pk = package_kind;
constexpr const char* fresh = R"({"version":"1.0.0.1"})";
constexpr const char* unpacked = R"({"version":"1.0.0.1","plugindata":1})";
constexpr const char* copied = R"({"version":"1.0.0.1","luadata":1})";
constexpr const char* stale = R"({"version":"1.0.0.0","plugindata":1})";
constexpr const char* number_version = R"({"version":2})";
constexpr const char* malformed = R"({"version":)";

const upgrade_case upgrade_cases[] = {
    {"unpack_no_package", 130, pk::none, nullptr, nullptr, ""},
    {"unpack", 130, pk::tgz, nullptr, unpacked, ".bootchk lib one.txt"},
    {"unpack_garbage", 130, pk::garbage, nullptr, fresh, ".bootchk"},
    {"unpack_plain_tar", 130, pk::plain_tar, nullptr, fresh, ".bootchk"},
    {"unpack_unreadable", 130, pk::unreadable, nullptr, nullptr, ""},
    // Not regular files: left alone as if missing, and never read (a FIFO
    // without a writer would block for good).
    {"unpack_directory", 130, pk::directory, nullptr, nullptr, ""},
    {"unpack_fifo", 130, pk::fifo, nullptr, nullptr, ""},
    {"unpack_link", 130, pk::link_to_tgz, nullptr, nullptr, ""},
    {"copy_fifo", 131, pk::fifo, stale, stale, ".bootchk"},
    {"copy_link", 131, pk::link_to_tgz, nullptr, nullptr, ""},
    {"record_only_link", 132, pk::link_to_tgz, nullptr, nullptr, ""},
    {"copy_no_package", 131, pk::none, nullptr, nullptr, ""},
    {"copy", 131, pk::tgz, nullptr, copied, ".bootchk init.bin"},
    {"copy_garbage", 131, pk::garbage, nullptr, copied, ".bootchk init.bin"},
    {"copy_unreadable", 131, pk::unreadable, nullptr, nullptr, ""},
    {"record_only_no_package", 132, pk::none, nullptr, nullptr, ""},
    {"record_only", 132, pk::tgz, nullptr, fresh, ".bootchk"},
    {"record_only_garbage", 132, pk::garbage, nullptr, fresh, ".bootchk"},
    {"record_only_unreadable", 132, pk::unreadable, nullptr, nullptr, ""},
    {"other_code", 160, pk::tgz, nullptr, fresh, ".bootchk"},
    {"no_package_keeps_malformed", 130, pk::none, malformed, malformed, ".bootchk"},
    {"no_package_keeps_stale", 131, pk::none, stale, stale, ".bootchk"},
    {"unreadable_keeps_number_version", 132, pk::unreadable, number_version, number_version,
     ".bootchk"},
    {"unpack_replaces_malformed", 130, pk::tgz, malformed, unpacked, ".bootchk lib one.txt"},
    {"unpack_twice", 130, pk::tgz, unpacked,
     R"({"version":"1.0.0.1","plugindata":1,"plugindata":1})", ".bootchk lib one.txt"},
    {"unpack_keeps_stale_version", 130, pk::tgz, stale,
     R"({"version":"1.0.0.0","plugindata":1,"plugindata":1})", ".bootchk lib one.txt"},
    {"failed_unpack_keeps_stale", 130, pk::garbage, stale, stale, ".bootchk"},
    {"failed_unpack_number_version", 130, pk::plain_tar, number_version,
     R"({"version":2,"version":"1.0.0.1"})", ".bootchk"},
    {"copy_number_version", 131, pk::tgz, number_version,
     R"({"version":2,"version":"1.0.0.1","luadata":1})", ".bootchk init.bin"},
    {"copy_replaces_malformed", 131, pk::garbage, malformed, copied, ".bootchk init.bin"},
    {"copy_keeps_other_members", 131, pk::tgz, R"({"version":"1.0.0.1","note":"x"})",
     R"({"version":"1.0.0.1","note":"x","luadata":1})", ".bootchk init.bin"},
    {"record_only_number_version", 132, pk::tgz, number_version,
     R"({"version":2,"version":"1.0.0.1"})", ".bootchk"},
    {"record_only_keeps_stale", 132, pk::garbage, stale, stale, ".bootchk"},
    {"record_only_replaces_empty", 132, pk::tgz, "", fresh, ".bootchk"},
    // Valid JSON but no object: replaced like a malformed record.
    {"unpack_replaces_array", 130, pk::tgz, "[]", unpacked, ".bootchk lib one.txt"},
    {"copy_replaces_number", 131, pk::garbage, "0", copied, ".bootchk init.bin"},
    {"record_only_replaces_string", 132, pk::tgz, R"("x")", fresh, ".bootchk"},
    {"record_only_replaces_null", 132, pk::garbage, "null", fresh, ".bootchk"},
    {"shipped_record_overwritten", 130, pk::tgz_with_record, nullptr, unpacked, ".bootchk one.txt"},
    {"shipped_record_overwritten_by_existing", 130, pk::tgz_with_record, R"({"version":"1.0.0.2"})",
     R"({"version":"1.0.0.2","plugindata":1})", ".bootchk one.txt"},
};

INSTANTIATE_TEST_SUITE_P(table, install_upgrade_package_case, testing::ValuesIn(upgrade_cases),
                         [](const testing::TestParamInfo<upgrade_case>& row) {
                           return std::string(row.param.name);
                         });

TEST(install_upgrade_package, failed_copy_adds_no_luadata) {
  ENTER_SCRATCH_TREE();
  ASSERT_NO_FATAL_FAILURE(make_package(package_kind::tgz));
  ASSERT_EQ(::mkdir((data + "init.bin").c_str(), 0755), 0);

  testing::internal::CaptureStdout();
  install_upgrade_package(131);
  const std::string printed = testing::internal::GetCapturedStdout();

  EXPECT_EQ(printed.rfind("Failed to read or write, in, ", 0), 0U) << printed;
  EXPECT_TRUE(printed.ends_with(", out, -1\nfailed to copy " + printed_package +
                                " to ../data//init.bin: Is a directory\n"))
      << printed;
  EXPECT_EQ(read_text(record), fresh);
  EXPECT_EQ(data_entries(), ".bootchk init.bin");
  EXPECT_FALSE(file_exists(package));
}

// A conflict below a directory merged into an existing one is named by its
// whole path, and nothing of the package is moved.
TEST(install_upgrade_package, a_conflict_below_a_merged_directory_is_named_whole) {
  ENTER_SCRATCH_TREE();
  ASSERT_NO_FATAL_FAILURE(make_package(package_kind::tgz));
  make_tree(data, {"d lib", "d lib/two.txt", "f lib/two.txt/kept k"});
  const std::string said = capture_stdout([] { install_upgrade_package(130); });
  EXPECT_EQ(said, "failed to unpack " + printed_package +
                      ": ../data//lib/two.txt: Directory not empty\n");
  EXPECT_EQ(tree_listing(data),
            "d lib\nd lib/two.txt\nf .bootchk " + std::string(fresh) + "\nf lib/two.txt/kept k\n");
}

// A power cut while entries move finds a record that no longer vouches for
// plugin data (a mix of two versions must not run): the record is replaced
// before the first entry moves in, and vouches again once all are in.
TEST(install_upgrade_package, the_record_vouches_for_nothing_while_entries_move) {
  ENTER_SCRATCH_TREE();
  write_text(record, R"({"version":"1.0.0.2","plugindata":1})");
  ASSERT_NO_FATAL_FAILURE(make_package(package_kind::tgz));
  const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, data.c_str(), IN_MOVED_TO), 0);
  EXPECT_EQ(capture_stdout([] { install_upgrade_package(130); }), "");
  alignas(inotify_event) char events[8192];
  const ssize_t got = ::read(watch, events, sizeof events);
  ::close(watch);
  std::vector<std::string> moved;
  for (ssize_t at = 0; at < got;) {
    const auto* event = reinterpret_cast<const inotify_event*>(events + at);
    moved.emplace_back(event->len > 0 ? event->name : "");
    at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
  }
  ASSERT_EQ(moved.size(), 4u);
  std::sort(moved.begin() + 1, moved.end() - 1);  // the package's entries in any order
  EXPECT_EQ(moved, (std::vector<std::string>{".bootchk", "lib", "one.txt", ".bootchk"}));
  EXPECT_EQ(read_text(record), R"({"version":"1.0.0.2","plugindata":1,"plugindata":1})");
}

// The line names the signal that ended tar, and nothing reaches ../data/.
TEST(install_upgrade_package, tar_ended_by_a_signal_is_named) {
  ENTER_SCRATCH_TREE();
  ASSERT_NO_FATAL_FAILURE(make_package(package_kind::tgz));
  ASSERT_EQ(::mkdir("/tmp/bin", 0755), 0);
  write_text("/tmp/bin/tar", "#!/bin/sh\nkill -9 $$\n");
  ASSERT_EQ(::chmod("/tmp/bin/tar", 0755), 0);
  const std::string path = std::getenv("PATH");
  ::setenv("PATH", ("/tmp/bin:" + path).c_str(), 1);
  const std::string said = capture_stdout([] { install_upgrade_package(130); });
  ::setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(said, "failed to unpack " + printed_package + ": tar killed by signal 9\n");
  EXPECT_EQ(data_entries(), ".bootchk");
}

// The names an installation really gives its temporary files and staging
// directory, seen as they appear, are the ones start-up clean-up removes and
// a package may not bring along.
TEST(install_upgrade_package, its_temporary_names_are_the_ones_cleared_and_refused) {
  ENTER_SCRATCH_TREE();
  const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, data.c_str(), IN_CREATE), 0);
  ASSERT_NO_FATAL_FAILURE(make_package(package_kind::tgz));
  EXPECT_EQ(capture_stdout([] { install_upgrade_package(130); }), "");
  ASSERT_EQ(std::system(("tar -czf " + package + " -C /tmp/build one.txt").c_str()), 0);
  EXPECT_EQ(capture_stdout([] { install_upgrade_package(131); }), "");
  std::vector<std::string> made;
  alignas(inotify_event) char events[8192];
  const ssize_t got = ::read(watch, events, sizeof events);
  ::close(watch);
  for (ssize_t at = 0; at < got;) {
    const auto* event = reinterpret_cast<const inotify_event*>(events + at);
    const std::string name = event->len > 0 ? event->name : "";
    if (name != ".bootchk" && name != "init.bin" && name != "one.txt" && name != "lib")
      made.push_back(name);
    at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
  }
  std::vector<std::string> kinds;
  for (const std::string& name : made) kinds.push_back(name.substr(0, name.size() - 6));
  std::sort(kinds.begin(), kinds.end());
  EXPECT_EQ(kinds,
            (std::vector<std::string>{".bootchk.", ".bootchk.", ".init.bin.", ".plugsup-unpack."}));

  // Left behind by a crash, each is removed at the next start...
  for (const std::string& name : made) write_text(data + name, "left");
  remove_upgrade_leftovers();
  EXPECT_EQ(data_entries(), ".bootchk init.bin lib one.txt");
  // ...and shipped in a package, each stays out of ../data/.
  make_tree("/tmp", {"d staged", "d aside"});
  for (const std::string& name : made) write_text("/tmp/staged/" + name, "shipped");
  const int from = ::open("/tmp/staged", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const int to = ::open(data.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const int aside = ::open("/tmp/aside", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  merge_stop stop;
  merge_journal journal;
  EXPECT_EQ(merge_staged(from, to, aside, &journal, &stop), 0);
  ::close(from);
  ::close(to);
  ::close(aside);
  EXPECT_EQ(data_entries(), ".bootchk init.bin lib one.txt");
}

// Runs `body` in a child whose standard output goes to /tmp/out.<pid>; its pid.
pid_t in_child(void (*body)()) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const std::string out = "/tmp/out." + std::to_string(::getpid());
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ::dup2(fd, 1) != 1) ::_exit(1);
    body();
    ::_exit(0);
  }
  return pid;
}

// An installation holds ../data/ to its end: another installation, or the
// start-up clean-up of a supervisor sharing ../data/, waits for it instead
// of clearing its staging directory or writing the record in between.
TEST(install_upgrade_package, installs_and_start_up_clean_up_shut_each_other_out) {
  ENTER_SCRATCH_TREE();
  ASSERT_NO_FATAL_FAILURE(make_package(package_kind::tgz));
  write_text(record, fresh);
  // tar waits for a word of the test before it unpacks.
  ASSERT_EQ(::mkdir("/tmp/bin", 0755), 0);
  const std::string path = std::getenv("PATH");
  write_text("/tmp/bin/tar",
             "#!/bin/sh\n: >/tmp/unpacking\nwhile [ ! -e /tmp/go ]; do sleep 0.02; done\n"
             "PATH=" +
                 path + " exec tar \"$@\"\n");
  ASSERT_EQ(::chmod("/tmp/bin/tar", 0755), 0);
  ::setenv("PATH", ("/tmp/bin:" + path).c_str(), 1);
  const pid_t first = in_child([] { install_upgrade_package(130); });
  for (int i = 0; i < 1500 && !file_exists("/tmp/unpacking"); ++i) ::usleep(20000);
  ::setenv("PATH", path.c_str(), 1);
  ASSERT_TRUE(file_exists("/tmp/unpacking"));
  const pid_t second = in_child([] { install_upgrade_package(131); });
  const pid_t clean_up = in_child([] { remove_upgrade_leftovers(); });
  // Both wait for the lock while the first one unpacks (or, wrongly, end).
  int status = 0;
  const auto waiting = [](pid_t pid) {
    return read_text("/tmp/out." + std::to_string(pid)).find("waiting up to") != std::string::npos;
  };
  for (int i = 0; i < 1500 && !(waiting(second) && waiting(clean_up)); ++i) {
    if (::waitpid(second, &status, WNOHANG) != 0 || ::waitpid(clean_up, &status, WNOHANG) != 0)
      break;
    ::usleep(20000);
  }
  EXPECT_TRUE(waiting(second));
  EXPECT_TRUE(waiting(clean_up));
  write_text("/tmp/go", "");
  for (const pid_t pid : {first, second, clean_up}) {
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(status, 0);
  }
  EXPECT_EQ(read_text(record), R"({"version":"1.0.0.1","plugindata":1,"luadata":1})");
  EXPECT_EQ(data_entries(), ".bootchk init.bin lib one.txt");
}

}  // namespace
