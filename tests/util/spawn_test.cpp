#include "util/spawn.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "support/scratch_tree.h"

namespace {

__attribute__((no_sanitize("address", "thread"))) int end_at_once(void*) { return 0; }

// User-mode emulators (qemu-user) refuse a child without an exit signal; the
// command's parent is then an ordinary child that any wait may take.
bool silent_children_refused() {
  static unsigned char stack[4096];
  const int pid = ::clone(end_at_once, stack + sizeof stack, CLONE_VM | CLONE_VFORK, nullptr);
  if (pid < 0) return errno == EINVAL;
  (void)::waitpid(pid, nullptr, __WCLONE);
  return false;
}

class spawn_test : public ::testing::Test {
 protected:
  void SetUp() override { ENTER_SCRATCH_TREE(); }

  // `sh -c script` with standard input from `input_path` when given.
  static int run_shell(const char* script, const char* input_path = nullptr) {
    std::vector<std::string> texts = {"sh", "-c", script};
    std::vector<char*> argv;
    for (auto& text : texts) argv.push_back(text.data());
    argv.push_back(nullptr);
    const int input = input_path != nullptr ? ::open(input_path, O_RDONLY | O_CLOEXEC) : -1;
    const int status = spawn_and_wait("sh", argv.data(), input);
    if (input >= 0) ::close(input);
    return status;
  }
};

TEST_F(spawn_test, statuses) {
  write_text("input", "hello\n");
  EXPECT_EQ(run_shell("exit 3"), 3);
  EXPECT_EQ(run_shell("kill -9 $$"), -1);
  EXPECT_EQ(run_shell("read line && test \"$line\" = hello", "input"), 0);
  char* const missing[] = {const_cast<char*>("no-such-command-anywhere"), nullptr};
  EXPECT_EQ(spawn_and_wait("no-such-command-anywhere", missing, -1), 127);
}

TEST_F(spawn_test, the_command_gets_default_dispositions_and_the_callers_mask) {
  (void)std::signal(SIGPIPE, SIG_IGN);
  sigset_t blocked{};
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR2);
  sigset_t before{};
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &before), 0);
  // SIGUSR2 is signal 12: bit 11 of the blocked mask.
  EXPECT_EQ(run_shell("exec grep -qx 'SigIgn:[[:space:]]*0*' /proc/self/status"), 0);
  EXPECT_EQ(run_shell("exec grep -qx 'SigBlk:[[:space:]]*0*800' /proc/self/status"), 0);
  sigset_t after{};
  ASSERT_EQ(::pthread_sigmask(SIG_SETMASK, &before, &after), 0);
  EXPECT_EQ(sigismember(&after, SIGUSR2), 1);
  EXPECT_EQ(sigismember(&after, SIGTERM), 0);
  (void)std::signal(SIGPIPE, SIG_DFL);
}

TEST_F(spawn_test, a_wait_for_any_child_elsewhere_never_takes_the_command) {
  if (silent_children_refused())
    GTEST_SKIP() << "this machine refuses children without exit signal";
  const pid_t sleeper = ::fork();
  ASSERT_GE(sleeper, 0);
  if (sleeper == 0) {
    ::pause();
    ::_exit(0);
  }
  pid_t reaped = 0;
  std::thread waiter([&] {
    int status = 0;
    reaped = ::waitpid(-1, &status, 0);
  });
  for (int i = 0; i < 20; ++i) EXPECT_EQ(run_shell("exit 5"), 5);
  ::kill(sleeper, SIGKILL);
  waiter.join();
  EXPECT_EQ(reaped, sleeper);
}

}  // namespace
