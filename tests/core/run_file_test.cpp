#include "core/run_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/scratch_tree.h"

namespace {

class run_file_test : public ::testing::Test {
 protected:
  void SetUp() override { ENTER_SCRATCH_TREE(); }
};

std::vector<std::string> split_text(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST_F(run_file_test, append_to_run_file_needs_a_positive_descriptor) {
  EXPECT_EQ(append_to_run_file(0, "x", 1), -1);
  EXPECT_EQ(append_to_run_file(-1, "x", 1), -1);
  const int fd = ::open("run", O_RDWR | O_CREAT, 0644);
  EXPECT_EQ(append_to_run_file(fd, "line\n", 5), 0);
  EXPECT_EQ(append_to_run_file(fd, "next\n", 5), 0);
  ::close(fd);
  EXPECT_EQ(read_text("run"), "line\nnext\n");
}

TEST_F(run_file_test, exit_lines_and_the_cut_line_keeps_its_newline) {
  const int fd = ::open("run", O_RDWR | O_CREAT, 0644);
  EXPECT_EQ(append_exit_line(3, 1, "collector", fd), 0);
  EXPECT_EQ(append_exit_line(11, 0, "probe", fd), 0);
  EXPECT_EQ(append_exit_line(11, 0, "probe", 0), -1);
  EXPECT_EQ(append_exit_line(11, 0, std::string(400, 'n').c_str(), fd), 0);
  EXPECT_EQ(append_exit_line(1, 1, "after", fd), 0);
  ::close(fd);
  const std::string text = read_text("run");
  const std::string stamp = "[A-Z][a-z][a-z] [A-Z][a-z][a-z] [ 0-9][0-9] [0-9:]{8} [0-9]{4}";
  EXPECT_TRUE(::testing::internal::RE::FullMatch(
      text, ::testing::internal::RE(
                "(" + stamp + ": collector exited normally with code\\(3\\)\n)" + "(" + stamp +
                ": probe killed by signal\\(11\\)\n)" + "(" + stamp + ": n{228}\n)" + "(" + stamp +
                ": after exited normally with code\\(1\\)\n)")))
      << text;
}

// The size a stat saw before an append: used only while it is still the end.
struct seen_size_case {
  const char* name;
  // "" nothing; "truncated": another writer empties the file before the
  // stat; "ours": an append of ours comes after it
  const char* meanwhile;
  const char* expected;
};

class run_file_seen_size : public run_file_test,
                           public ::testing::WithParamInterface<seen_size_case> {};

TEST_P(run_file_seen_size, the_line_lands_at_the_real_end) {
  const int fd = ::open("run", O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(append_to_run_file(fd, "first\n", 6), 0);
  const std::string meanwhile = GetParam().meanwhile;
  if (meanwhile == "truncated") {
    ASSERT_EQ(::truncate("run", 0), 0);
  }
  struct stat seen {};
  ASSERT_EQ(::stat("run", &seen), 0);
  if (meanwhile == "ours") {
    ASSERT_EQ(append_to_run_file(fd, "watchdog\n", 9), 0);
  }
  EXPECT_EQ(append_to_run_file(fd, "exit\n", 5, seen.st_size), 0);
  ::close(fd);
  EXPECT_EQ(read_text("run"), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(table, run_file_seen_size,
                         ::testing::Values(seen_size_case{"unchanged", "", "first\nexit\n"},
                                           seen_size_case{"an_append_of_ours_came_after_the_stat",
                                                          "ours", "first\nwatchdog\nexit\n"},
                                           seen_size_case{
                                               "emptied_by_another_writer_before_the_stat",
                                               "truncated", "exit\n"}),
                         [](const auto& row) { return std::string(row.param.name); });

// A run file of `size` bytes: the first line, then numbered lines of `width`
// bytes (the oldest one longer by what is left over).
std::string numbered_lines(std::size_t size, std::size_t width) {
  std::string text = "/opt/sup\n";
  const std::size_t lines = (size - text.size()) / width;
  const std::size_t extra = size - text.size() - lines * width;
  for (std::size_t i = 0; i < lines; ++i) {
    const std::string number = std::to_string(i) + " ";
    text += number + std::string(width + (i == 0 ? extra : 0) - number.size() - 1, 'x') + "\n";
  }
  return text;
}

struct compaction {
  const char* name;
  std::size_t size, width;  // the file before appending "new\n"
  std::size_t kept;         // lines kept after the first, before the new one
};

class run_file_cap : public run_file_test, public ::testing::WithParamInterface<compaction> {};

TEST_P(run_file_cap, appending_past_the_cap_keeps_the_first_and_the_newest_lines) {
  const compaction c = GetParam();
  const std::string before = numbered_lines(c.size, c.width);
  write_text("run", before);
  const int fd = ::open("run", O_RDWR);
  struct stat old_status {};
  ASSERT_EQ(::fstat(fd, &old_status), 0);
  EXPECT_EQ(append_to_run_file(fd, "new\n", 4), 0);
  struct stat new_status {};
  ASSERT_EQ(::fstat(fd, &new_status), 0);
  ::close(fd);
  EXPECT_EQ(new_status.st_ino, old_status.st_ino);
  const std::string after = read_text("run");
  EXPECT_LE(after.size(), 262144u);
  const auto old_lines = split_text(before);
  const auto lines = split_text(after);
  ASSERT_EQ(lines.size(), c.kept + 2) << after.size();
  EXPECT_EQ(lines.front(), "/opt/sup");
  EXPECT_EQ(lines.back(), "new");
  for (std::size_t i = 1; i <= c.kept; ++i)
    EXPECT_EQ(lines[i], old_lines[old_lines.size() - 1 - c.kept + i]) << i;
}

INSTANTIATE_TEST_SUITE_P(
    table, run_file_cap,
    ::testing::Values(compaction{"up_to_the_cap_untouched", 262140, 100, 2621},
                      compaction{"one_line_longer_than_the_budget_goes", 262141, 262132, 0},
                      compaction{"short_lines", 262141, 100, 1310},  // 131,000 bytes of the newest
                      compaction{"budget_ends_inside_a_line", 262141, 131, 1000},
                      compaction{"budget_begins_on_a_line_boundary", 262141, 128, 1024},
                      compaction{"exit_lines", 262141, 255, 514},
                      compaction{"long_lines", 262141, 40000, 3}),
    [](const ::testing::TestParamInfo<compaction>& row) { return std::string(row.param.name); });

// Someone with write access grew the file to 64 GiB of holes: the append's
// scan for the first line stops after 4 KiB, so the append ends at once (the
// whole scan would read 64 GiB of zeros) and the file is cut down.
TEST_F(run_file_test, a_huge_sparse_file_is_cut_down_without_a_full_scan) {
  const int fd = ::open("run", O_RDWR | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, off_t{64} << 30), 0);
  EXPECT_EQ(append_to_run_file(fd, "new\n", 4), 0);
  ::close(fd);
  EXPECT_EQ(read_text("run"), "new\n");
}

}  // namespace
