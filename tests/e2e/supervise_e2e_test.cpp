// The supervision loop end to end: restarts, the exit-code protocol, the
// crash back-off and the kill of stray copies, with time scaled by 100.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>

#include "harness.h"

namespace {

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

int count_of(const std::string& text, const std::string& part) {
  int count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class supervise_e2e : public e2e_case {
 protected:
  // One program of each given name, all running the fake plugin.
  void watch(std::initializer_list<std::string> names) {
    std::string elements;
    for (const auto& name : names) {
      // Appended piece by piece: GCC 12 at -O2 warns falsely (-Wrestrict) on
      // a chain of operator+ that starts with a literal.
      if (!elements.empty()) elements += ',';
      elements.append(R"({"base":")").append(name).append("\"}");
      program(name);
    }
    config(R"({"__watch":{"processes":[)" + elements + "]}}");
  }
  // Starts the supervisor through a bash command line (dash does not pass an
  // ignored SIGCHLD on).
  bool start_through_bash(const std::string& command) {
    start_options options;
    options.exec_path = "/bin/bash";
    options.argv0 = "bash";
    options.args = {"-c", command};
    return start(options);
  }
  bool started_times(const std::string& name, std::size_t times, double seconds = 20) {
    return wait_until([&] { return starts(name).size() >= times; }, seconds);
  }
  // How many lines of `command`'s output in the namespace match `pattern`, e.g. "1\n".
  std::string count(const std::string& command, const std::string& pattern) {
    return run_in_namespace("/bin/sh", {"-c", command + " | grep -c " + pattern}, "/").out;
  }
  std::string copies(const std::string& name) {
    return count("cat /proc/[0-9]*/comm", "-x " + name);
  }
};

TEST_F(supervise_e2e, ordinary_exits_restart_after_ten_seconds_with_their_code) {
  watch({"zero", "three", "eleven"});
  script("zero", {"exit 0", "run"});
  script("three", {"exit 3", "run"});
  script("eleven", {"exit 11", "run"});
  ASSERT_TRUE(start());
  ASSERT_TRUE(started_times("zero", 2));
  ASSERT_TRUE(started_times("three", 2));
  ASSERT_TRUE(started_times("eleven", 2));
  EXPECT_EQ(starts("zero")[1], "zero");  // reason 0: no -r
  EXPECT_EQ(starts("three")[1], "three -r 3");
  EXPECT_EQ(starts("eleven")[1], "eleven -r 11");  // an exit status, not the signal
  EXPECT_EQ(count_of(stdout_text(), "Will restart normal prog after 10 secs\n"), 3);
  const std::string run = normalise(run_file());
  EXPECT_TRUE(has(run, "<time>: three exited normally with code(3)\n")) << run;
  EXPECT_TRUE(has(run, "<time>: zero exited normally with code(0)\n")) << run;
  EXPECT_EQ(run.substr(0, sup_dir().size() + 1), sup_dir() + "\n");
}

TEST_F(supervise_e2e, an_inherited_ignored_sigchld_does_not_hide_endings) {
  watch({"three"});
  script("three", {"exit 3", "run"});
  ASSERT_TRUE(start_through_bash("trap '' CHLD; exec ./sup"));
  ASSERT_TRUE(started_times("three", 2));
  EXPECT_EQ(starts("three")[1], "three -r 3");
}

TEST_F(supervise_e2e, closed_standard_descriptors_do_not_capture_the_run_file) {
  watch({"three"});
  script("three", {"exit 3", "run"});
  ASSERT_TRUE(start_through_bash("exec ./sup <&- >&-"));
  ASSERT_TRUE(started_times("three", 2));
  EXPECT_TRUE(wait_until([&] { return has(run_file(), "code(3)\n"); }, 10));
  EXPECT_FALSE(has(run_file(), "Will restart")) << run_file();
}

TEST_F(supervise_e2e, a_reader_that_went_away_does_not_end_the_supervisor) {
  watch({"three"});
  script("three", {"exit 3", "exit 3", "run"});
  // The reader ends at once; every message then meets a broken pipe.
  ASSERT_TRUE(start_through_bash("./sup | true"));
  ASSERT_TRUE(started_times("three", 3));
  EXPECT_EQ(exit_status(0.3), std::nullopt);
  EXPECT_EQ(count_of(normalise(run_file()), "three exited normally with code(3)\n"), 2);
}

TEST_F(supervise_e2e, a_reader_that_stops_reading_does_not_stall_the_supervisor) {
  watch({"three"});
  script("three", {"exit 3"});
  // The pipe is all but full before the supervisor says anything, and its
  // reader (spared the time shim) never reads.
  start_options options;
  options.time_scale = 2000;
  options.exec_path = "/bin/bash";
  options.argv0 = "bash";
  options.args = {"-c",
                  "{ head -c 60000 /dev/zero; exec ./sup; } | env -u LD_PRELOAD sleep 100000"};
  ASSERT_TRUE(start(options));
  // 400 restarts say 15 KB, three times what the pipe could still take.
  EXPECT_TRUE(started_times("three", 400, 60)) << starts("three").size();
}

TEST_F(supervise_e2e, signals_restart_with_the_signal_number) {
  watch({"victim"});
  script("victim", {"signal 9", "signal 15", "run"});
  ASSERT_TRUE(start());
  ASSERT_TRUE(started_times("victim", 3));
  EXPECT_EQ(starts("victim")[1], "victim -r 9");
  EXPECT_EQ(starts("victim")[2], "victim -r 15");
  const std::string run = normalise(run_file());
  EXPECT_TRUE(has(run, "<time>: victim killed by signal(9)\n<time>: victim killed by signal(15)\n"))
      << run;
}

TEST_F(supervise_e2e, segv_back_off_grows_across_programs) {
  watch({"first", "second"});
  script("first", {"segv", "run"});
  script("second", {"segv", "run"});
  ASSERT_TRUE(start());
  ASSERT_TRUE(started_times("first", 2, 30));
  ASSERT_TRUE(started_times("second", 2, 30));
  EXPECT_EQ(starts("first")[1], "first -r 11");
  EXPECT_EQ(starts("second")[1], "second -r 11");
  const std::string out = stdout_text();
  EXPECT_TRUE(
      has(out, "Will restart segv prog after 60 secs\nWill restart segv prog after 660 secs\n"))
      << out;
  EXPECT_EQ(count_of(normalise(run_file()), "killed by signal(11)\n"), 2);
}

TEST_F(supervise_e2e, exit_160_starts_every_program_again) {
  watch({"asker", "bystander"});
  // Asked for 10 s or more after the cycle began: the new one starts at once.
  script("asker", {"sleep 11 exit 160", "run"});
  ASSERT_TRUE(start());
  ASSERT_TRUE(started_times("asker", 2));
  EXPECT_EQ(starts("asker")[1], "asker -r 160");
  // The first bystander may be killed before it has executed its program and
  // logged anything; either way the new cycle starts it with -r 160.
  ASSERT_TRUE(
      wait_until([&] { return has(read_file("log/bystander.starts"), "bystander -r 160\n"); }, 20));
  // The old bystander is killed and reaped as a pid of no slot.
  EXPECT_TRUE(wait_until([&] { return has(stdout_text(), "for reexec\n"); }, 10));
  EXPECT_EQ(normalise(stdout_text()), "No such pid(<pid>) for reexec\n");
}

TEST_F(supervise_e2e, failed_boot_removes_the_record_and_leaves_plugin_mode) {
  watch({"booter"});
  data_program("booter");
  write_file("../data/.bootchk", R"({"version":"1.0.0.1","plugindata":1})");
  script("booter", {"exit 129", "run"});
  start_options options;
  // 10 s are 5: the failed boot ends well within them even on a busy machine
  // (at 100 they would be 0.1 s, less than a loaded start may take).
  options.time_scale = 2;
  ASSERT_TRUE(start(options));
  ASSERT_TRUE(started_times("booter", 2, 30));
  EXPECT_EQ(starts("booter")[0], "../data//booter -T /tmp/.uci/ -D ../data/ -O pellavora_K2310");
  EXPECT_EQ(starts("booter")[1], "booter -r 129");
  EXPECT_FALSE(path_exists(data_dir() + "/.bootchk"));
  // The new cycle would begin within 10 s of the last one: it waits the rest.
  const std::string out = stdout_text();
  EXPECT_EQ(out.rfind("failed boot, then clean bootchk, and try again\n"
                      "Will restart all progs after ",
                      0),
            0u)
      << out;
  EXPECT_EQ(count_of(out, "\n"), 2) << out;
}

TEST_F(supervise_e2e, launch_cycles_asked_for_at_every_start_are_ten_seconds_apart) {
  watch({"asker"});
  script("asker", {"exit 160"});
  start_options options;
  options.time_scale = 4;  // 10 s are 2.5 s; slow enough to keep the wait at 10
  const auto began = std::chrono::steady_clock::now();
  ASSERT_TRUE(start(options));
  ASSERT_TRUE(started_times("asker", 3, 30));
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
  EXPECT_GE(took.count(), 2 * 2.5 * 0.95) << "two spaced cycles";
  // The wait is what is left of 10 s: all of them unless a start took more
  // than a second (a quarter of one here), as it may on a busy machine.
  const std::string out = stdout_text();
  EXPECT_TRUE(std::regex_search(out, std::regex("^Will restart all progs after (10|[1-9]) secs\n")))
      << out;
  EXPECT_LE(count_of(out, "Will restart all progs after "), 3) << out;
}

TEST_F(supervise_e2e, failed_boot_without_a_record_gives_up) {
  watch({"booter"});
  script("booter", {"exit 129"});
  ASSERT_TRUE(start());
  EXPECT_EQ(exit_status(20), "exit 0");
  EXPECT_EQ(stdout_text(), "failed for normal boot, exit\n");
  EXPECT_EQ(normalise(run_file()), sup_dir() + "\n<time>: booter exited normally with code(129)\n");
}

struct stray_start {
  const char* name;
  int strays;                // copies running before the supervisor starts
  const char* killall_runs;  // what killall was run with
};

class supervise_strays : public supervise_e2e, public ::testing::WithParamInterface<stray_start> {};

// killall runs only when something of the names runs: after a boot nothing does.
TEST_P(supervise_strays, are_killed_and_only_then_killall_runs) {
  watch({"stray"});
  // A killall first on PATH that notes its arguments and runs the next one.
  write_file("wrap/killall", "#!/bin/sh\necho \"$*\" >>" + sup_dir() +
                                 "/log/killall.runs\nPATH=${PATH#*:} exec killall \"$@\"\n");
  const char* path = std::getenv("PATH");
  start_options options;
  options.env = {"PATH=" + sup_dir() + "/wrap:" + (path != nullptr ? path : "/usr/bin:/bin")};
  options.setup = "chmod +x wrap/killall";
  // The copies have logged their start before the supervisor runs.
  for (int i = 0; i < GetParam().strays; ++i) options.setup += " && { ./stray & }";
  options.setup += " && until [ \"$(cat log/stray.starts 2>/dev/null | wc -l)\" = " +
                   std::to_string(GetParam().strays) + " ]; do :; done";
  ASSERT_TRUE(start(options));
  ASSERT_TRUE(started_times("stray", GetParam().strays + 1));
  EXPECT_TRUE(wait_until([&] { return copies("stray") == "1\n"; }, 10)) << copies("stray");
  EXPECT_EQ(starts("stray").back(), "stray");
  EXPECT_EQ(read_file("log/killall.runs"), GetParam().killall_runs);
}

INSTANTIATE_TEST_SUITE_P(table, supervise_strays,
                         ::testing::Values(stray_start{"two", 2, "-9 stray\n"},
                                           stray_start{"none", 0, ""}),
                         param_name{});

TEST_F(supervise_e2e, a_new_cycle_kills_its_children_when_killall_cannot_run) {
  watch({"asker", "bystander"});
  script("asker", {"sleep 11 exit 160", "run"});
  start_options options;
  options.setup = "mount --bind /dev/null /usr/bin/killall";  // in this case's namespace only
  ASSERT_TRUE(start(options));
  ASSERT_TRUE(
      wait_until([&] { return has(read_file("log/bystander.starts"), "bystander -r 160\n"); }, 20));
  EXPECT_TRUE(wait_until([&] { return copies("bystander") == "1\n"; }, 10)) << copies("bystander");
}

TEST_F(supervise_e2e, endings_leave_no_descriptor_open) {
  watch({"three"});
  script("three", {"exit 3", "exit 3", "exit 3", "exit 3", "exit 3", "run"});
  ASSERT_TRUE(start());
  ASSERT_TRUE(started_times("three", 6));
  // The running program's pidfd, where the kernel has them, and nothing else.
  const auto pidfds = [&] { return count("ls -l /proc/2/fd", "pidfd"); };
  EXPECT_TRUE(wait_until([&] { return pidfds() == "1\n" || pidfds() == "0\n"; }, 10)) << pidfds();
}

TEST_F(supervise_e2e, kill_0_in_a_program_reaches_only_its_own_group) {
  watch({"killer", "sibling"});
  script("killer", {"kill-group 15", "run"});  // as `trap 'kill 0' EXIT` does
  ASSERT_TRUE(start());
  ASSERT_TRUE(started_times("killer", 2));
  EXPECT_EQ(starts("killer")[1], "killer -r 15");
  EXPECT_TRUE(events("sibling").empty());
  EXPECT_EQ(exit_status(0), std::nullopt);
}

TEST_F(supervise_e2e, inherited_descriptors_reach_no_program) {
  // Closed at start-up and again in each child: with close_range, or as
  // /proc/self/fd lists them where the kernel lacks it.
  config(R"({"__watch":{"processes":[{"base":"lister"}]}})");
  write_file("lister",
             "#!/bin/sh\nls /proc/self/fd >log/fds.tmp && mv log/fds.tmp log/fds\n"
             "exec sleep 100000\n");
  ASSERT_EQ(::chmod((sup_dir() + "/lister").c_str(), 0755), 0);
  ASSERT_TRUE(start_through_bash("exec 7</dev/null 1000</dev/null; exec ./sup"));
  ASSERT_TRUE(wait_until([&] { return path_exists(sup_dir() + "/log/fds"); }, 20));
  EXPECT_EQ(read_file("log/fds"), "0\n1\n2\n3\n");  // 3: ls's own listing
}

TEST_F(supervise_e2e, helpers_of_a_program_end_with_it_and_with_the_supervisor) {
  // A shell program leaves a helper behind at each of its first three runs,
  // then waits for the fourth one's; "quitter" ends the supervisor on demand.
  config(R"({"__watch":{"processes":[{"base":"helper"},{"base":"quitter"}]}})");
  std::filesystem::copy_file("/bin/sleep", sup_dir() + "/lingerer");
  write_file("helper",
             "#!/bin/sh\necho \"$0 $*\" >>log/helper.starts\n./lingerer 100000 &\n"
             "[ \"$(wc -l <log/helper.starts)\" -lt 4 ] && exit 3\nwait\n");
  write_file("quitter", "#!/bin/sh\nwhile [ ! -e quit ]; do sleep 1; done\nexit 129\n");
  for (const char* name : {"/helper", "/quitter"})
    ASSERT_EQ(::chmod((sup_dir() + name).c_str(), 0755), 0);
  ASSERT_TRUE(start());
  ASSERT_TRUE(started_times("helper", 4));
  const auto helpers = [&] { return count("cat /proc/[0-9]*/comm", "-x lingerer"); };
  EXPECT_TRUE(wait_until([&] { return helpers() == "1\n"; }, 10)) << helpers();
  write_file("quit", "");
  ASSERT_EQ(exit_status(20), "exit 0");
  EXPECT_TRUE(wait_until([&] { return helpers() == "0\n"; }, 10)) << helpers();
}

TEST_F(supervise_e2e, a_name_never_reaches_a_shell) {
  watch({"x;touch INJECTED"});
  ASSERT_TRUE(start());
  ASSERT_TRUE(started_times("x;touch INJECTED", 1));
  ASSERT_TRUE(exit_status(0.5) == std::nullopt);
  EXPECT_FALSE(path_exists(sup_dir() + "/INJECTED"));
  EXPECT_FALSE(path_exists(ns_path("/INJECTED")));
}

TEST_F(supervise_e2e, a_failed_fork_while_starting_a_cycle_ends_the_supervisor) {
  watch({"one"});
  start_options options;
  options.env = {"SUP_FAIL_FORK_AT=1"};
  ASSERT_TRUE(start(options));
  EXPECT_EQ(exit_status(20), "exit 0");
  EXPECT_EQ(stdout_text(), "failed to fork\n");
}

TEST_F(supervise_e2e, a_failed_fork_while_restarting_fails_the_cycle) {
  watch({"one"});
  script("one", {"exit 3"});
  start_options options;
  options.env = {"SUP_FAIL_FORK_AT=2"};
  ASSERT_TRUE(start(options));
  EXPECT_EQ(exit_status(20), "exit 0");
  EXPECT_EQ(
      stdout_text(),
      "Will restart normal prog after 10 secs\nfailed to fork\nfailed for normal boot, exit\n");
}

}  // namespace
