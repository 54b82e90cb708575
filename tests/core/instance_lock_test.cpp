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

struct moved_file {
  const char* name;
  const char* renamed;  // "" none, else the file renamed away (a new one may take its name)
  bool run_file_kept;   // the run file held is still the one named
};

class instance_lock_kept : public instance_lock_test,
                           public ::testing::WithParamInterface<moved_file> {};

// Only the path's device and inode tell a file renamed away from its
// replacement: both are remembered when the file is opened.
TEST_P(instance_lock_kept, a_file_renamed_away_is_opened_again) {
  auto state = new_state();
  ASSERT_EQ(take_instance_lock("./sup", state.get()), 0);
  const std::string renamed = GetParam().renamed;
  if (!renamed.empty()) {
    ASSERT_EQ(::rename(renamed.c_str(), (renamed + ".old").c_str()), 0);
    write_text(renamed, "");
    ASSERT_EQ(::chmod(renamed.c_str(), 0600), 0);
  }
  off_t size = -2;
  EXPECT_EQ(keep_instance_lock(state.get(), &size), 0);
  EXPECT_EQ(size, GetParam().run_file_kept ? off_t{14} : off_t{-1});
  EXPECT_EQ(read_text("/tmp/.uci/sup.run"), "/tmp/case/sup\n");
  // What the descriptors hold is what the paths name now.
  for (const auto& [fd, path] : {std::pair{state->run_fd, "/tmp/.uci/sup.run"},
                                 std::pair{state->lock_fd, "/tmp/.uci/sup.run.lock"}}) {
    struct stat held {};
    struct stat named {};
    ASSERT_EQ(::fstat(fd, &held), 0);
    ASSERT_EQ(::stat(path, &named), 0);
    EXPECT_EQ(held.st_ino, named.st_ino) << path;
  }
  ::close(state->run_fd);
  ::close(state->lock_fd);
}

INSTANTIATE_TEST_SUITE_P(table, instance_lock_kept,
                         ::testing::Values(moved_file{"nothing", "", true},
                                           moved_file{"run_file", "/tmp/.uci/sup.run", false},
                                           moved_file{"lock_file", "/tmp/.uci/sup.run.lock",
                                                      false}),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
