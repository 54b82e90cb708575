#include "supervision/launch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <memory>
#include <string>

#include "support/scratch_tree.h"
#include "util/process_setup.h"

namespace {

class launch_test : public ::testing::Test {
 protected:
  void SetUp() override { ENTER_SCRATCH_TREE(); }

  // Makes a program that writes its command line to argv.txt.
  static void make_recorder(const std::string& path) {
    write_text(path, "#!/bin/sh\necho \"$0 $*\" > argv.txt\n");
    ASSERT_EQ(::chmod(path.c_str(), 0755), 0);
  }

  static int wait_for(int pid) {
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    return status;
  }
};

TEST_F(launch_test, command_line_groups_in_order) {
  make_recorder("prog");
  const struct {
    int reason, argument_flag, plugin;
    const char* alive;
    const char* expected;
  } table[] = {
      {0, 0, 0, "", "prog \n"},
      {11, 1, 0, "/tmp/.uci//prog.alive", "prog -r 11 -d -A /tmp/.uci//prog.alive\n"},
      {160, 1, 1, "/tmp/.uci//prog.alive",
       "prog -r 160 -d -A /tmp/.uci//prog.alive -T /tmp/.uci/ -D ../data/ -O pellavora_K2310\n"},
      {-3, 0, 1, "", "prog -r -3 -T /tmp/.uci/ -D ../data/ -O pellavora_K2310\n"},
  };
  for (const auto& row : table) {
    const int pid = spawn_child("prog", row.alive, row.reason, row.argument_flag, row.plugin);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(wait_for(pid), 0);
    EXPECT_EQ(read_text("argv.txt"), row.expected);
  }
}

TEST_F(launch_test, plugin_mode_runs_from_the_data_directory_and_stores_the_pid) {
  make_recorder("../data/probe");
  auto state = std::make_unique<supervisor_state>();
  state->process_count = 1;
  state->plugin_mode = 1;
  (void)store_text(state.get(), &state->slots[0].name, "probe");
  launch_process(state.get(), 0, 130);
  ASSERT_GT(state->slots[0].pid, 0);
  EXPECT_EQ(wait_for(state->slots[0].pid), 0);
  EXPECT_EQ(read_text("argv.txt"),
            "../data//probe -r 130 -T /tmp/.uci/ -D ../data/ -O pellavora_K2310\n");
}

TEST_F(launch_test, long_paths_are_carried_whole) {
  const std::string part(100, 'd');
  const std::string dir = part + "/" + part + "/" + part;
  ASSERT_EQ(::mkdir(part.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((part + "/" + part).c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  make_recorder(dir + "/prog");
  const std::string alive = "/tmp/.uci//" + std::string(280, 'a') + ".alive";
  const int pid = spawn_child((dir + "/prog").c_str(), alive.c_str(), 0, 0, 0);
  EXPECT_EQ(wait_for(pid), 0);
  EXPECT_EQ(read_text("argv.txt"), dir + "/prog -A " + alive + "\n");
}

TEST_F(launch_test, children_get_the_inherited_sigpipe_disposition_back) {
  write_text("prog", "#!/bin/sh\ngrep SigIgn /proc/self/status > ignored.txt\n");
  ASSERT_EQ(::chmod("prog", 0755), 0);
  for (const auto inherited : {SIG_DFL, SIG_IGN}) {
    (void)std::signal(SIGPIPE, inherited);
    ignore_broken_pipes();  // what start-up does
    const int pid = spawn_child("prog", "", 0, 0, 0);
    EXPECT_EQ(wait_for(pid), 0);
    const unsigned long mask = std::stoul(read_text("ignored.txt").substr(8), nullptr, 16);
    EXPECT_EQ((mask >> (SIGPIPE - 1)) & 1, inherited == SIG_IGN ? 1u : 0u);
  }
  (void)std::signal(SIGPIPE, SIG_DFL);
}

TEST_F(launch_test, children_inherit_no_descriptor_beyond_the_standard_three) {
  write_text("prog", "#!/bin/sh\nexec ls /proc/self/fd > fds.txt\n");
  ASSERT_EQ(::chmod("prog", 0755), 0);
  const int leaked = ::open("/dev/null", O_RDONLY);  // no close-on-exec
  ASSERT_GE(::dup2(leaked, 300), 0);
  const int pid = spawn_child("prog", "", 0, 0, 0);
  EXPECT_EQ(wait_for(pid), 0);
  ::close(leaked);
  ::close(300);
  // ls itself holds the directory it lists as descriptor 3.
  EXPECT_EQ(read_text("fds.txt"), "0\n1\n2\n3\n");
}

TEST_F(launch_test, a_missing_program_reports_and_exits_129) {
  int status = 0;
  const std::string said = capture_stdout([&] {
    const int pid = spawn_child("./missing", "", 0, 0, 0);
    status = wait_for(pid);
  });
  EXPECT_EQ(said, "failed to exec ./missing, error is No such file or directory\n");
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 129);
}

TEST_F(launch_test, a_missing_program_exits_129_when_no_one_reads_its_message) {
  (void)std::signal(SIGPIPE, SIG_DFL);
  ignore_broken_pipes();  // what start-up does: children get SIGPIPE's default back
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  ::close(pipe_fds[0]);
  std::fflush(stdout);
  const int saved = ::dup(STDOUT_FILENO);
  ::dup2(pipe_fds[1], STDOUT_FILENO);
  const int pid = spawn_child("./missing", "", 0, 0, 0);
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  ::close(pipe_fds[1]);
  const int status = wait_for(pid);
  EXPECT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 129);
  (void)std::signal(SIGPIPE, SIG_DFL);
}

}  // namespace
