#include "core/run_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/scratch_tree.h"

namespace {

class run_file_test : public ::testing::Test {
 protected:
  void SetUp() override { ENTER_SCRATCH_TREE(); }
};

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

}  // namespace
