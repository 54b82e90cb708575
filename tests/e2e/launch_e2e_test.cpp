// Child launch and plugin mode end to end: command lines, where programs run
// from, exec failures and the parent-death signal.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "harness.h"

namespace {

class launch_e2e : public e2e_case {
 protected:
  void two_programs() {
    config(R"({"__watch":{"processes":[{"base":"probe","excheck":true},{"base":"collector"}]}})");
    for (const char* name : {"probe", "collector"}) {
      program(name);
      data_program(name);
    }
  }
  bool both_started() {
    return wait_until([&] { return !starts("probe").empty() && !starts("collector").empty(); }, 20);
  }
};

TEST_F(launch_e2e, a_valid_record_runs_programs_from_the_data_directory) {
  two_programs();
  write_file("../data/.bootchk", R"({"VERSION":"2.0","PluginData":true})");
  start_options options;
  options.args = {""};  // any argument, even an empty one, gives -d
  ASSERT_TRUE(start(options));
  ASSERT_TRUE(both_started());
  EXPECT_EQ(starts("probe")[0],
            "../data//probe -d -A /tmp/.uci//probe.alive -T /tmp/.uci/ -D ../data/ -O "
            "pellavora_K2310");
  EXPECT_EQ(starts("collector")[0],
            "../data//collector -d -T /tmp/.uci/ -D ../data/ -O pellavora_K2310");
}

TEST_F(launch_e2e, without_a_record_programs_run_from_the_supervisor_directory) {
  two_programs();
  ASSERT_TRUE(start());
  ASSERT_TRUE(both_started());
  EXPECT_EQ(starts("probe")[0], "probe -A /tmp/.uci//probe.alive");
  EXPECT_EQ(starts("collector")[0], "collector");
}

struct record_case {
  const char* label;
  const char* record;
  bool kept;
};

class record_e2e : public launch_e2e, public ::testing::WithParamInterface<record_case> {};

TEST_P(record_e2e, records_that_do_not_select_plugin_mode) {
  two_programs();
  write_file("../data/.bootchk", GetParam().record);
  ASSERT_TRUE(start());
  ASSERT_TRUE(both_started());
  EXPECT_EQ(starts("collector")[0], "collector");
  EXPECT_EQ(path_exists(data_dir() + "/.bootchk"), GetParam().kept);
}

INSTANTIATE_TEST_SUITE_P(
    table, record_e2e,
    ::testing::Values(record_case{"stale", R"({"version":"1.0.0.0","plugindata":1})", false},
                      record_case{"older", R"({"version":"0.9.9.9","plugindata":1})", false},
                      record_case{"string_plugindata", R"({"version":"1.0.0.1","plugindata":"1"})",
                                  true},
                      record_case{"number_version", R"({"version":1,"plugindata":1})", true},
                      record_case{"garbage", "garbage", true}),
    [](const auto& row) { return std::string(row.param.label); });

TEST_F(launch_e2e, a_program_that_cannot_be_executed_reports_and_exits_129) {
  config(R"({"__watch":{"processes":[{"base":"missing"}]}})");
  ASSERT_TRUE(start());
  EXPECT_EQ(exit_status(20), "exit 0");
  EXPECT_EQ(stdout_text(),
            "failed to exec missing, error is No such file or directory\n"
            "failed for normal boot, exit\n");
  EXPECT_EQ(normalise(run_file()),
            sup_dir() + "\n<time>: missing exited normally with code(129)\n");
}

struct unwritable_output {
  const char* name;
  const char* shell;  // run by bash, ends by executing the supervisor
};

class exec_failure_output_e2e : public launch_e2e,
                                public ::testing::WithParamInterface<unwritable_output> {};

// The failed program's report cannot be written: the child still ends with
// 129 at once, and the supervisor, which waits for it, is never held.
TEST_P(exec_failure_output_e2e, an_exec_failure_still_ends_with_129) {
  config(R"({"__watch":{"processes":[{"base":"missing"}]}})");
  start_options options;
  options.exec_path = "/bin/bash";
  options.argv0 = "bash";
  options.args = {"-c", GetParam().shell};
  ASSERT_TRUE(start(options));
  EXPECT_EQ(exit_status(20), "exit 0");  // "failed for normal boot, exit"
  EXPECT_EQ(normalise(run_file()),
            sup_dir() + "\n<time>: missing exited normally with code(129)\n");
}

INSTANTIATE_TEST_SUITE_P(
    table, exec_failure_output_e2e,
    ::testing::Values(
        // A pipe whose reader has ended before the supervisor starts.
        unwritable_output{"no_one_reads_it", "exec > >(:); wait $!; exec ./sup"},
        // A full pipe whose reader reads nothing (a stuck logger).
        unwritable_output{"its_reader_reads_nothing",
                          "exec > >(exec sleep 100000); head -c 65536 /dev/zero; exec ./sup"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(launch_e2e, children_get_sigterm_when_the_supervisor_is_killed) {
  two_programs();
  ASSERT_TRUE(start());
  ASSERT_TRUE(both_started());
  signal_supervisor(SIGUSR1);  // SIGKILL of the supervisor
  EXPECT_EQ(exit_status(20), "signal 9");
  EXPECT_TRUE(wait_until(
      [&] { return events("probe").size() == 1 && events("collector").size() == 1; }, 20));
  EXPECT_EQ(events("probe")[0], "SIGTERM");
}

}  // namespace
