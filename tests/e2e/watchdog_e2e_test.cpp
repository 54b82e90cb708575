// The liveness watchdog end to end: checks every 120 s (1.2 s at scale 100),
// a kill at the third miss in a row, restart with reason 199.
#include <gtest/gtest.h>

#include <string>

#include "harness.h"

namespace {

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class watchdog_e2e : public e2e_case {
 protected:
  void watched(const std::vector<std::string>& lines) {
    config(R"({"__watch":{"processes":[{"base":"probe","excheck":true},{"base":"other"}]}})");
    program("probe");
    program("other");
    script("probe", lines);
  }
  std::string threads_of_supervisor() {
    return run_in_namespace("/bin/sh", {"-c", "ls /proc/2/task | wc -l"}, "/").out;
  }
  // Watches for `seconds` that no kill comes and the program was never restarted.
  void expect_never_killed(double seconds) {
    EXPECT_FALSE(wait_until([&] { return has(run_file(), "not alive"); }, seconds));
    EXPECT_EQ(starts("probe").size(), 1u);
  }
  static constexpr const char* not_alive = "probe is not alive, and we will kill it.\n";
};

TEST_F(watchdog_e2e, a_silent_program_is_killed_at_the_third_check_and_restarted_with_199) {
  watched({"run"});
  ASSERT_TRUE(start());
  ASSERT_TRUE(wait_until([&] { return starts("probe").size() >= 2; }, 30));
  EXPECT_EQ(starts("probe")[1], "probe -r 199 -A /tmp/.uci//probe.alive");
  EXPECT_EQ(starts("other").size(), 1u);  // only the named program is killed
  const std::string run = normalise(run_file());
  EXPECT_TRUE(has(run, std::string(not_alive) + "<time>: probe killed by signal(9)\n")) << run;
  EXPECT_NE(threads_of_supervisor(), "1\n");  // the watchdog (TSan may add one of its own)
}

struct watchdog_kill {
  const char* name;
  const char* setup;
  std::vector<std::string> script;
  std::vector<std::string> reasons;  // of the restarts, in order
};

class watchdog_kills : public watchdog_e2e, public ::testing::WithParamInterface<watchdog_kill> {};

TEST_P(watchdog_kills, the_program_is_killed_and_restarted) {
  watched(GetParam().script);
  start_options options;
  options.setup = GetParam().setup;
  ASSERT_TRUE(start(options));
  const std::size_t restarts = GetParam().reasons.size();
  ASSERT_TRUE(wait_until([&] { return starts("probe").size() > restarts; }, 30));
  for (std::size_t i = 0; i < restarts; ++i)
    EXPECT_EQ(starts("probe")[i + 1],
              "probe -r " + GetParam().reasons[i] + " -A /tmp/.uci//probe.alive");
  const std::string run = normalise(run_file());
  EXPECT_TRUE(has(run, std::string(not_alive) + "<time>: probe killed by signal(9)\n")) << run;
}

INSTANTIATE_TEST_SUITE_P(
    table, watchdog_kills,
    ::testing::Values(
        // The tracked child is killed all the same; in this case's namespace only.
        watchdog_kill{
            "killall_cannot_run", "mount --bind /dev/null /usr/bin/killall", {"run"}, {"199"}},
        // Could never be deleted: counts as a miss.
        watchdog_kill{
            "a_directory_at_the_alive_path", "mkdir -p /tmp/.uci/probe.alive", {"run"}, {"199"}},
        // The mark goes with the ending it was set for.
        watchdog_kill{
            "a_later_sigkill_from_elsewhere", "", {"run", "signal 9", "run"}, {"199", "9"}}),
    param_name{});

TEST_F(watchdog_e2e, the_watchdogs_killall_is_never_reaped_by_the_loop) {
  // A killall that finds nothing ends while the loop waits for any child.
  watched({"run"});
  write_file("killall-finds-nothing", "#!/bin/sh\nexit 1\n");
  const std::string fake = sup_dir() + "/killall-finds-nothing";
  start_options options;
  options.setup = "chmod +x " + fake + " && mount --bind " + fake + " /usr/bin/killall";
  options.time_scale = 1000;  // a check every 0.12 s
  ASSERT_TRUE(start(options));
  const auto kills = [&] {
    const std::string run = run_file();
    int count = 0;
    for (auto at = run.find(not_alive); at != std::string::npos; at = run.find(not_alive, at + 1))
      ++count;
    return count;
  };
  ASSERT_TRUE(wait_until([&] { return kills() >= 6; }, 30));
  EXPECT_FALSE(has(stdout_text(), "No such pid")) << stdout_text();
}

TEST_F(watchdog_e2e, a_slow_kill_by_name_never_reaches_the_next_run) {
  // killall takes a real second, ten restart delays at this scale; the
  // next run keeps its alive file.
  watched({"run", "alive 10"});
  write_file("slow-killall",
             "#!/bin/sh\nLD_PRELOAD= sleep 1\n/tmp/killall.real \"$@\"\n"
             "echo \"$*\" >>" +
                 sup_dir() + "/log/killall.done\n");
  const std::string slow = sup_dir() + "/slow-killall";
  start_options options;
  options.setup = "cp /usr/bin/killall /tmp/killall.real && chmod +x " + slow +
                  " && mount --bind " + slow + " /usr/bin/killall";
  ASSERT_TRUE(start(options));
  // The watchdog's (the launch cycle found nothing of its names to kill).
  const auto probe_kills = [&] {
    const std::string done = read_file("log/killall.done");
    int count = 0;
    for (auto at = done.find("probe"); at != std::string::npos; at = done.find("probe", at + 1))
      ++count;
    return count;
  };
  ASSERT_TRUE(wait_until([&] { return probe_kills() >= 1; }, 30)) << read_file("log/killall.done");
  ASSERT_TRUE(wait_until([&] { return starts("probe").size() >= 2; }, 10));
  EXPECT_EQ(starts("probe")[1], "probe -r 199 -A /tmp/.uci//probe.alive");
  EXPECT_FALSE(wait_until([&] { return starts("probe").size() > 2; }, 3)) << starts("probe")[2];
}

TEST_F(watchdog_e2e, a_program_that_refreshes_its_file_is_never_killed) {
  watched({"alive 30"});
  ASSERT_TRUE(start());
  expect_never_killed(7.5);  // six checks: a kill would have come at the third
}

TEST_F(watchdog_e2e, each_check_removes_the_file) {
  // The file is made once: found (and removed) at the first check, then
  // missing at the next three, the last of which kills.
  watched({"touch /tmp/.uci//probe.alive run", "run"});
  ASSERT_TRUE(start());
  ASSERT_TRUE(wait_until([&] { return !starts("probe").empty(); }, 10));
  EXPECT_TRUE(wait_until([&] { return !path_exists(uci_path("probe.alive")); }, 5));
  ASSERT_TRUE(wait_until([&] { return starts("probe").size() >= 2; }, 30));
  EXPECT_EQ(starts("probe")[1], "probe -r 199 -A /tmp/.uci//probe.alive");
}

TEST_F(watchdog_e2e, found_at_every_third_check_is_never_killed) {
  // Checks at 120, 240, 360 ... s; the file appears at 300, 660, 1020 ... s.
  watched({"alive-at 300 360"});
  ASSERT_TRUE(start());
  expect_never_killed(10);
}

TEST_F(watchdog_e2e, the_count_survives_a_restart) {
  // Misses at 120 and 240 s, exits at 250 s, restarted at 260 s: killed at the
  // check at 360 s, the first one its new copy meets.
  watched({"sleep 250 exit 5", "run", "run"});
  ASSERT_TRUE(start());
  ASSERT_TRUE(wait_until([&] { return starts("probe").size() >= 3; }, 30));
  EXPECT_EQ(starts("probe")[1], "probe -r 5 -A /tmp/.uci//probe.alive");
  EXPECT_EQ(starts("probe")[2], "probe -r 199 -A /tmp/.uci//probe.alive");
  const std::string run = normalise(run_file());
  EXPECT_TRUE(has(run, "<time>: probe exited normally with code(5)\n" + std::string(not_alive) +
                           "<time>: probe killed by signal(9)\n"))
      << run;
}

TEST_F(watchdog_e2e, no_thread_runs_when_no_program_asks_for_the_check) {
  config(R"({"__watch":{"processes":[{"base":"other"}]}})");
  program("other");
  ASSERT_TRUE(start());
  ASSERT_TRUE(wait_until([&] { return !starts("other").empty(); }, 10));
  EXPECT_EQ(threads_of_supervisor(), "1\n");
}

}  // namespace
