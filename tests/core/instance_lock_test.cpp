#include "core/instance_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <utility>

#include "support/scratch_tree.h"

namespace {

class instance_lock_test : public ::testing::Test {
 protected:
  void SetUp() override { ENTER_SCRATCH_TREE(); }
  static std::unique_ptr<supervisor_state> new_state() {
    auto state = std::make_unique<supervisor_state>();
    (void)store_text(state.get(), &state->run_file_path, "/tmp/.uci/sup.run");
    return state;
  }
};

TEST_F(instance_lock_test, take_instance_lock_writes_the_directory_line_and_refuses_a_second) {
  auto state = new_state();
  write_text("/tmp/.uci/sup.run", "stale content from the last run\nand more\n");
  ASSERT_EQ(take_instance_lock("./sup", state.get()), 0);
  EXPECT_EQ(read_text("/tmp/.uci/sup.run"), "/tmp/case/sup\n");
  EXPECT_NE(::fcntl(state->lock_fd, F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_NE(::fcntl(state->run_fd, F_GETFD) & FD_CLOEXEC, 0);
  struct stat lock {};
  ASSERT_EQ(::stat("/tmp/.uci/sup.run.lock", &lock), 0);
  EXPECT_EQ(lock.st_mode & 07777, 0600u);

  auto second = new_state();
  const std::string said =
      capture_stdout([&] { EXPECT_EQ(take_instance_lock("/x/sup", second.get()), -1); });
  EXPECT_EQ(said, "already in use for /tmp/.uci/sup.run\nprocess(/x/sup) already run\n");
  EXPECT_EQ(second->lock_fd, -1);
  EXPECT_EQ(read_text("/tmp/.uci/sup.run"), "/tmp/case/sup\n");
  ::close(state->run_fd);
  ::close(state->lock_fd);
}

struct planted_file {
  const char* name;
  std::function<void()> plant;
  const char* said;
};

class instance_lock_planted : public instance_lock_test,
                              public ::testing::WithParamInterface<planted_file> {};

// Whatever another user could open, write or hold is replaced, never used.
TEST_P(instance_lock_planted, is_replaced_with_a_line) {
  write_text("/tmp/target", "keep me");
  GetParam().plant();
  auto state = new_state();
  const std::string said =
      capture_stdout([&] { EXPECT_EQ(take_instance_lock("./sup", state.get()), 0); });
  EXPECT_EQ(said, GetParam().said);
  EXPECT_EQ(read_text("/tmp/target"), "keep me");
  EXPECT_EQ(read_text("/tmp/.uci/sup.run"), "/tmp/case/sup\n");
  // The run file: no one else writes it; the lock file: no one else opens it.
  for (const auto& [path, others] :
       {std::pair{"/tmp/.uci/sup.run", 022u}, std::pair{"/tmp/.uci/sup.run.lock", 077u}}) {
    struct stat file {};
    ASSERT_EQ(::lstat(path, &file), 0) << path;
    EXPECT_TRUE(S_ISREG(file.st_mode)) << path;
    EXPECT_EQ(file.st_nlink, 1u) << path;
    EXPECT_EQ(file.st_mode & others, 0u) << path;
  }
  ::close(state->run_fd);
  ::close(state->lock_fd);
}

INSTANTIATE_TEST_SUITE_P(
    table, instance_lock_planted,
    ::testing::Values(
        planted_file{"run_file_symlink",
                     [] { ASSERT_EQ(::symlink("/tmp/target", "/tmp/.uci/sup.run"), 0); },
                     "replaced /tmp/.uci/sup.run: it is not a regular file\n"},
        planted_file{"run_file_writable_by_others",
                     [] {
                       write_text("/tmp/.uci/sup.run", "forged\n");
                       ASSERT_EQ(::chmod("/tmp/.uci/sup.run", 0666), 0);
                     },
                     "replaced /tmp/.uci/sup.run: group or others could write to it\n"},
        planted_file{"run_file_hard_link",
                     [] { ASSERT_EQ(::link("/tmp/target", "/tmp/.uci/sup.run"), 0); },
                     "replaced /tmp/.uci/sup.run: it has another name\n"},
        planted_file{"lock_file_readable_by_others",
                     [] {
                       write_text("/tmp/.uci/sup.run.lock", "");
                       ASSERT_EQ(::chmod("/tmp/.uci/sup.run.lock", 0644), 0);
                     },
                     "replaced /tmp/.uci/sup.run.lock: others could open it\n"},
        planted_file{"lock_file_fifo",
                     [] { ASSERT_EQ(::mkfifo("/tmp/.uci/sup.run.lock", 0600), 0); },
                     "replaced /tmp/.uci/sup.run.lock: it is not a regular file\n"}),
    [](const auto& param) { return std::string(param.param.name); });

}  // namespace
