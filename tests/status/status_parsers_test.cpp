// The status reader's parsers: /proc/locks and /proc/<pid>/stat lines, the
// run file's event lines, and how the run file is opened and read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string>

#include "core/run_file.h"
#include "status/lock_holder.h"
#include "status/proc_reader.h"
#include "status/run_file_reader.h"
#include "support/scratch_tree.h"

namespace {

struct lock_case {
  const char* line;
  bool held;  // an exclusive flock held by a process
  pid_t pid;
  unsigned int major;
  unsigned int minor;
  unsigned long long inode;
};

TEST(status_parsers, lock_lines) {
  const lock_case rows[] = {
      {"1: FLOCK  ADVISORY  WRITE 812 00:2a:17 0 EOF", true, 812, 0, 0x2a, 17},
      {"5: FLOCK  ADVISORY  WRITE 77 103:1f2:4194305 0 EOF", true, 77, 0x103, 0x1f2, 4194305},
      {"1: -> FLOCK  ADVISORY  WRITE 900 00:2a:17 0 EOF", false, 0, 0, 0, 0},  // waiting
      {"2: FLOCK  ADVISORY  READ  812 00:2a:17 0 EOF", false, 0, 0, 0, 0},     // shared
      {"3: POSIX  ADVISORY  WRITE 812 00:2a:17 0 EOF", false, 0, 0, 0, 0},
      {"4: OFDLCK ADVISORY  WRITE -1 08:01:1234 0 EOF", false, 0, 0, 0, 0},
      {"6: LEASE  ACTIVE    READ  1 00:2a:5 0 EOF", false, 0, 0, 0, 0},
      {"7: FLOCK  ADVISORY  WRITE 812", false, 0, 0, 0, 0},  // cut short
  };
  for (const lock_case& row : rows) {
    lock_entry entry{};
    ASSERT_EQ(parse_lock_line(row.line, &entry), row.held) << row.line;
    if (!row.held) continue;
    EXPECT_EQ(entry.pid, row.pid) << row.line;
    EXPECT_EQ(entry.major, row.major) << row.line;
    EXPECT_EQ(entry.minor, row.minor) << row.line;
    EXPECT_EQ(entry.inode, row.inode) << row.line;
  }
}

// The holder of a lock is found by the whole device number: a minor number
// past 255 lies in both halves of a dev_t.
TEST(status_parsers, a_lock_holder_is_matched_by_device_and_inode) {
  ENTER_SCRATCH_TREE();
  write_text("/tmp/held", "");
  const int fd = ::open("/tmp/held", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  struct stat file {};
  ASSERT_EQ(::fstat(fd, &file), 0);
  const unsigned int major_number = major(file.st_dev);
  const unsigned int minor_number = minor(file.st_dev);
  EXPECT_EQ(find_lock_holder(file.st_dev, file.st_ino), ::getpid());
  for (const dev_t other :
       {makedev(major_number, minor_number ^ 1U), makedev(major_number, minor_number ^ 0x100U),
        makedev(major_number ^ 1U, minor_number)})
    EXPECT_EQ(find_lock_holder(other, file.st_ino), 0) << major(other) << ":" << minor(other);
  EXPECT_EQ(find_lock_holder(file.st_dev, file.st_ino + 1), 0);
  ::close(fd);
}

TEST(status_parsers, process_stat_lines) {
  const std::string tail = " 0 -1 4194560 100 0 0 0 1 2 0 0 20 0 2 0 12345 4096 100 0\n";
  process_stat stat{};
  ASSERT_TRUE(parse_process_stat(("42 (sup) S 1 42 42" + tail).c_str(), &stat));
  EXPECT_EQ(stat.ppid, 1);
  EXPECT_EQ(stat.threads, 2);
  EXPECT_EQ(stat.start_ticks, 12345u);
  // A name with spaces and parentheses: the fields start after the last ')'.
  ASSERT_TRUE(parse_process_stat(("43 (a) S 9 (b) R 7 43 43" + tail).c_str(), &stat));
  EXPECT_EQ(stat.ppid, 7);
  EXPECT_FALSE(parse_process_stat("44 (cut) S 1 44 44 0 -1", &stat));
  EXPECT_FALSE(parse_process_stat("no name here", &stat));
}

struct endings_case {
  const char* name;
  const char* lines;
  int endings;
  const char* last;
};

constexpr const char* kill_lines =
    "probe is not alive, and we will kill it.\n"
    "Tue Dec  8 01:02:27 2026: probe killed by signal(9)\n";

TEST(status_parsers, endings_of_a_program) {
  const endings_case rows[] = {
      {"probe", "", 0, ""},
      {"probe",
       "Tue Dec  8 01:02:27 2026: probe killed by signal(11)\n"
       "Tue Dec  8 01:03:27 2026: other exited normally with code(3)\n"
       "Tue Dec  8 01:09:40 2026: probe exited normally with code(3)\n",
       2, "Tue Dec  8 01:09:40 2026: probe exited normally with code(3)"},
      // Names that merely end or start like the program's are others'.
      {"probe",
       "Tue Dec  8 01:02:27 2026: my-probe killed by signal(11)\n"
       "Tue Dec  8 01:02:28 2026: probe2 killed by signal(11)\n"
       "my-probe is not alive, and we will kill it.\n",
       0, ""},
      // The watchdog's kill keeps its reason.
      {"probe", kill_lines, 1,
       "probe is not alive, and we will kill it.\n"
       "Tue Dec  8 01:02:27 2026: probe killed by signal(9)"},
      {"probe",
       "Tue Dec  8 01:02:20 2026: probe killed by signal(11)\n"
       "probe is not alive, and we will kill it.\n",
       1, "probe is not alive, and we will kill it."},
      {"probe",
       "probe is not alive, and we will kill it.\n"
       "Tue Dec  8 01:02:27 2026: probe killed by signal(9)\n"
       "Tue Dec  8 01:09:40 2026: probe exited normally with code(5)",
       2, "Tue Dec  8 01:09:40 2026: probe exited normally with code(5)"},
      // A line cut at 255 characters, and lines of other forms, are not endings.
      {"probe",
       "Tue Dec  8 01:02:27 2026: probe killed by signal(1\n"
       "Tue Dec  8 01:02:27 2026: probe killed by signal(11\n"
       "Tue Dec  8 01:02:27 2026: probe exited normally with code(130\n"
       "Tue Dec  8 01:02:27 2026: probe killed by signal()\n"
       "create pthread check_alive failed\n",
       0, ""},
      // A name holding ": " is found whole after the time stamp.
      {"a: b", "Tue Dec  8 01:02:27 2026: a: b exited normally with code(-1)\n", 1,
       "Tue Dec  8 01:02:27 2026: a: b exited normally with code(-1)"},
  };
  for (const endings_case& row : rows) {
    program_endings endings{};
    tally_endings(row.lines, row.name, &endings);
    EXPECT_EQ(endings.endings, row.endings) << row.lines;
    EXPECT_STREQ(endings.last.data(), row.last) << row.lines;
  }
}

class run_file_reader_test : public ::testing::Test {
 protected:
  void SetUp() override { ENTER_SCRATCH_TREE(); }
};

TEST_F(run_file_reader_test, opens_only_a_regular_file_and_never_waits) {
  write_text("/tmp/.uci/sup.run", "/opt/sup\n");
  ASSERT_EQ(::symlink("/tmp/.uci/sup.run", "/tmp/.uci/link.run"), 0);
  ASSERT_EQ(::mkfifo("/tmp/.uci/fifo.run", 0644), 0);
  const int uci = ::open("/tmp/.uci", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  struct stat status {};
  const int fd = open_run_file(uci, "sup.run", &status);
  ASSERT_GE(fd, 0);
  std::array<char, 4096> directory{};
  read_recorded_directory(fd, directory);
  EXPECT_STREQ(directory.data(), "/opt/sup");
  EXPECT_EQ(open_run_file(uci, "link.run", &status), -1);
  EXPECT_EQ(errno, ELOOP);
  EXPECT_EQ(open_run_file(uci, "fifo.run", &status), -1);  // no writer: would block
  EXPECT_EQ(errno, EINVAL);
  ::close(fd);
  ::close(uci);
}

TEST_F(run_file_reader_test, a_file_past_the_cap_is_read_from_its_newest_whole_line) {
  const std::string line = "Tue Dec  8 01:02:27 2026: probe killed by signal(11)\n";
  std::string text = "/opt/sup\n";
  while (text.size() < 2 * static_cast<std::size_t>(run_file_cap_bytes)) text += line;
  const std::string last = "Tue Dec  8 01:09:40 2026: probe exited normally with code(3)\n";
  text += last;
  write_text("/tmp/.uci/big.run", text);
  const int fd = ::open("/tmp/.uci/big.run", O_RDONLY | O_CLOEXEC);
  const unique_text lines = read_event_lines(fd);
  ::close(fd);
  ASSERT_TRUE(lines);
  program_endings endings{};
  tally_endings(lines.get(), "probe", &endings);
  // The window holds the last line and the whole lines before it.
  const std::size_t kept = (run_file_cap_bytes - last.size()) / line.size() + 1;
  EXPECT_EQ(endings.endings, static_cast<int>(kept));
  EXPECT_STREQ(endings.last.data(), "Tue Dec  8 01:09:40 2026: probe exited normally with code(3)");
}

}  // namespace
