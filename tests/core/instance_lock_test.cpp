#include "core/instance_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <memory>

#include "support/scratch_tree.h"

namespace {

class instance_lock_test : public ::testing::Test {
 protected:
  void SetUp() override { ENTER_SCRATCH_TREE(); }
};

TEST_F(instance_lock_test, second_lock_is_refused_and_leaves_the_file_alone) {
  const int first = open_locked_file("sup.run", "/opt/sup", 8);
  ASSERT_GT(first, 2);
  EXPECT_NE(::fcntl(first, F_GETFD) & FD_CLOEXEC, 0);
  const std::string said =
      capture_stdout([] { EXPECT_EQ(open_locked_file("sup.run", "other", 5), -1); });
  EXPECT_EQ(said, "already in use for sup.run\n");
  EXPECT_EQ(read_text("sup.run"), "/opt/sup");
  ::close(first);
}

TEST_F(instance_lock_test, a_planted_symlink_is_refused) {
  write_text("target", "keep me");
  ASSERT_EQ(::symlink("target", "sup.run"), 0);
  const std::string said =
      capture_stdout([] { EXPECT_EQ(open_locked_file("sup.run", "x", 1), -1); });
  EXPECT_EQ(said, "failed to open sup.run\n");
  EXPECT_EQ(read_text("target"), "keep me");
}

TEST_F(instance_lock_test, take_instance_lock_writes_the_directory_line) {
  auto state = std::make_unique<supervisor_state>();
  (void)store_text(state.get(), &state->run_file_path, "/tmp/.uci/sup.run");
  write_text("/tmp/.uci/sup.run", "stale content from the last run\nand more\n");
  ASSERT_EQ(take_instance_lock("./sup", state.get()), 0);
  EXPECT_EQ(read_text("/tmp/.uci/sup.run"), "/tmp/case/sup\n");

  auto second = std::make_unique<supervisor_state>();
  second->run_file_path = state->run_file_path;
  const std::string said =
      capture_stdout([&] { EXPECT_EQ(take_instance_lock("/x/sup", second.get()), -1); });
  EXPECT_EQ(said, "already in use for /tmp/.uci/sup.run\nprocess(/x/sup) already run\n");
  EXPECT_EQ(second->run_fd, -1);
  ::close(state->run_fd);
}

}  // namespace
