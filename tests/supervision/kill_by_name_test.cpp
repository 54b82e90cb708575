#include "supervision/kill_by_name.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>

#include "support/scratch_tree.h"

namespace {

class kill_by_name_test : public ::testing::Test {
 protected:
  void SetUp() override {
    ENTER_SCRATCH_TREE();
    // A killall of our own, first on PATH, that records its arguments.
    write_text("killall", "#!/bin/sh\necho \"$*\" > killall.txt\n");
    ASSERT_EQ(::chmod("killall", 0755), 0);
    std::array<char, 4096> here{};
    ASSERT_NE(::getcwd(here.data(), here.size()), nullptr);
    const char* path = std::getenv("PATH");
    saved_path_ = path != nullptr ? path : "/usr/bin:/bin";
    ASSERT_EQ(::setenv("PATH", (std::string(here.data()) + ":" + saved_path_).c_str(), 1), 0);
  }
  void TearDown() override { (void)::setenv("PATH", saved_path_.c_str(), 1); }

  std::string saved_path_;
};

// "--" only where a name would read as an option: busybox's killall takes it
// for a name of its own and then fails.
TEST_F(kill_by_name_test, the_name_is_one_argument_and_guarded_only_when_it_looks_like_an_option) {
  const struct {
    const char* name;
    const char* expected;
  } table[] = {
      {"probe", "-9 probe\n"},
      {"x;reboot", "-9 x;reboot\n"},
      {"-e", "-9 -- -e\n"},
  };
  for (const auto& row : table) {
    kill_by_name(row.name);
    EXPECT_EQ(read_text("killall.txt"), row.expected) << row.name;
  }
}

// Wider than killall, never narrower: each row a way some killall finds a process.
TEST(may_be_named, matches_every_name_a_killall_may_take_and_nothing_else) {
  // Longer than the 1 KiB of a command line that some killall reads.
  const std::string cut_off = "/" + std::string(1100, 'a') + "/probe/x|";
  const struct {
    const char* command;
    const char* arguments;  // '|' ends an argument
    const char* executable;
    const char* name;
    bool expected;
  } table[] = {
      {"probe", "./probe|-r|0|", "/opt/sup/probe", "probe", true},
      {"probe", "", "", "probe", true},  // no arguments (a kernel thread's)
      {"a-long-program-", "./a-long-program-name|", "", "a-long-program-name",
       true},  // kept 15 bytes
      {"a-long-program-", "x|", "", "a-long-program-other", true},
      {"prob", "prob|", "/bin/prob", "probe", false},
      {"probe2", "probe2|", "/bin/probe2", "probe", false},
      {"sleep", "/opt/probe|", "/bin/sleep", "probe", true},      // argv[0] rewritten
      {"sh", "/bin/sh|/opt/probe|", "/bin/dash", "probe", true},  // a script run by its interpreter
      {"sh", "/bin/sh|-c|probe|", "/bin/dash", "probe", false},
      {"worker", "worker|", "/opt/probe", "probe", true},  // renamed itself
      {"sh", "sh|", "/bin/dash", "bin/probe", true},       // a killall may compare the file
      {"sh", "sh|", "/bin/dash", "", true},
      {"sleep", cut_off.c_str(), "/bin/sleep", "probe", true},  // read only up to ".../probe"
      {"sleep", cut_off.c_str(), "/bin/sleep", "prob", true},
      {"plugsup", "/opt/probe/plugsup|", "/opt/probe/plugsup", "probe", false},  // short: whole
  };
  for (const auto& row : table) {
    std::string arguments = row.arguments;
    for (char& c : arguments)
      if (c == '|') c = '\0';
    const process_names process{row.command, arguments.data(), arguments.size(), row.executable};
    EXPECT_EQ(may_be_named(process, row.name), row.expected)
        << row.command << " " << row.arguments << " " << row.executable << " as " << row.name;
  }
}

void* pause_forever(void*) {
  for (;;) ::pause();
}

// A zombie takes no signal, but a process whose first thread alone ended
// shows as one and still runs: a killall ends it.
TEST(any_may_be_named, finds_the_live_processes_of_the_names_only) {
  enum class ending { none, all_threads, first_thread };
  const struct {
    const char* name;
    ending how;
    const char* asked;
    bool expected;
  } table[] = {
      {"kbn-live", ending::none, "kbn-live", true},
      {"kbn-live", ending::none, "kbn-nobody-has", false},
      {"kbn-zombie", ending::all_threads, "kbn-zombie", false},
      {"kbn-first-ended", ending::first_thread, "kbn-first-ended", true},
  };
  for (const auto& row : table) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      (void)::prctl(PR_SET_NAME, row.name);
      pthread_t thread;
      if (row.how == ending::first_thread &&
          ::pthread_create(&thread, nullptr, pause_forever, nullptr) != 0)
        ::_exit(1);
      if (row.how == ending::none) (void)pause_forever(nullptr);
      // This thread only, or all of them (a sanitizer may have started one of its own).
      ::syscall(row.how == ending::first_thread ? SYS_exit : SYS_exit_group, 0);
    }
    siginfo_t ended{};  // a zombie once every thread is gone: ready to be reaped
    if (row.how == ending::all_threads) {
      ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child), &ended, WEXITED | WNOWAIT), 0);
    }
    const std::string stat = "/proc/" + std::to_string(child) + "/stat";
    const std::string named = "(" + std::string(row.name) + ") ";
    std::string text;
    while (text.find(named) == std::string::npos ||
           (row.how != ending::none && text.find(") Z ") == std::string::npos)) {
      std::ifstream file(stat);
      std::getline(file, text);
      ASSERT_TRUE(file || !text.empty()) << stat;
    }
    const char* names[] = {"kbn-other", row.asked};
    EXPECT_EQ(any_may_be_named(names, 2), row.expected) << row.asked << ": " << text;
    (void)::kill(child, SIGKILL);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
  }
}

}  // namespace
