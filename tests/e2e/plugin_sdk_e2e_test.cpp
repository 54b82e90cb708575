// The plugin SDK against the real supervisor, through the example plugin: it
// logs its parsed command line, keeps its alive file fresh, hands over
// sup/upgrade.tgz and asks for a fresh start when sup/restart-all appears.
// Also the checker's prediction of the first command lines, against them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>

#include "harness.h"

namespace {

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class plugin_sdk_e2e : public e2e_case {
 protected:
  bool said(const std::string& line, double seconds = 20) {
    return wait_until([&] { return has(stdout_text(), line); }, seconds);
  }
  static constexpr const char* first_start =
      "probe: started with reason 0 (first start); plugin mode: no; alive file: none\n";
};

TEST_F(plugin_sdk_e2e, a_fresh_start_asked_for_restarts_everything_with_reason_160) {
  config(R"({"__watch":{"processes":[{"base":"probe"},{"base":"other"}]}})");
  example_program("probe");
  program("other");
  ASSERT_TRUE(start());
  ASSERT_TRUE(said(first_start)) << stdout_text();
  write_file("restart-all", "");
  EXPECT_TRUE(said("probe: started with reason 160 (a fresh start was asked for); plugin mode: no"))
      << stdout_text();
  ASSERT_TRUE(wait_until([&] { return starts("other").size() >= 2; }, 20));
  EXPECT_EQ(starts("other")[1], "other -r 160");
  EXPECT_TRUE(has(normalise(run_file()), "<time>: probe exited normally with code(160)\n"));
}

TEST_F(plugin_sdk_e2e, the_heartbeat_keeps_the_watchdog_quiet) {
  config(R"({"__watch":{"processes":[{"base":"probe","excheck":true}]}})");
  example_program("probe");
  start_options options;
  options.args = {"debug"};
  ASSERT_TRUE(start(options));
  ASSERT_TRUE(
      said("probe: started with reason 0 (first start); plugin mode: no; alive file: "
           "/tmp/.uci//probe.alive\n"));
  // Six checks at 120 s (1.2 s at scale 100): a kill would have come at the third.
  EXPECT_FALSE(wait_until([&] { return has(run_file(), "not alive"); }, 7.5)) << run_file();
  EXPECT_FALSE(has(stdout_text(), "started with reason 199"));
  EXPECT_TRUE(has(stdout_text(), "probe: alive file refreshed\n"));  // -d reached it
}

TEST_F(plugin_sdk_e2e, a_handed_over_package_is_installed_and_runs_in_plugin_mode) {
  config(R"({"__watch":{"processes":[{"base":"probe"}]}})");
  example_program("probe");
  // The package holds the plugin itself, which then runs from ../data/.
  const std::string command = "cd '" + sup_dir() + "' && mkdir -p pkgsrc && cp probe pkgsrc/ && " +
                              "tar -czf upgrade.tgz -C pkgsrc . && cp upgrade.tgz second.tgz";
  ASSERT_EQ(std::system(command.c_str()), 0);
  ASSERT_TRUE(start());
  const std::string installed =
      "probe: started with reason 130 (an upgrade package was handed over); plugin mode: yes";
  EXPECT_TRUE(said(installed)) << stdout_text();
  EXPECT_EQ(read_file("../data/.bootchk"), R"({"version":"1.0.0.1","plugindata":1})");
  EXPECT_FALSE(path_exists(sup_dir() + "/upgrade.tgz"));  // handed over once only
  // In plugin mode the package goes to the directory named with -T.
  ASSERT_EQ(std::rename((sup_dir() + "/second.tgz").c_str(), (sup_dir() + "/upgrade.tgz").c_str()),
            0);
  EXPECT_TRUE(wait_until(
      [&] {
        const std::string out = stdout_text();
        return out.find(installed) != out.rfind(installed);
      },
      20))
      << stdout_text();
  // Neither the package nor the temporary copy is left behind (beside the
  // run file: the lock files of the supervisor and of ../data/).
  const auto listing = run_in_namespace("/bin/ls", {"-A", "/tmp/.uci"}, "/");
  EXPECT_EQ(std::regex_replace(listing.out, std::regex("^\\.data-[0-9a-f]+-[0-9]+\\.lock\n"), ""),
            "sup.run\nsup.run.lock\n");
}

TEST_F(plugin_sdk_e2e, the_checker_predicts_the_first_command_lines) {
  config(R"({"__watch":{"processes":[{"base":"probe","excheck":true},{"base":"other"}]}})");
  data_program("probe");
  data_program("other");
  write_file("../data/.bootchk", R"({"version":"1.0.0.2","plugindata":true})");
  ASSERT_TRUE(start());
  ASSERT_TRUE(wait_until([&] { return !starts("probe").empty() && !starts("other").empty(); }, 20));
  const auto checked = run_in_namespace(E2E_CHECKER, {sup_dir()}, "/");
  EXPECT_EQ(checked.status, "exit 0") << checked.out;
  EXPECT_TRUE(has(checked.out, "\n  " + starts("probe")[0] + "\n")) << checked.out;
  EXPECT_TRUE(has(checked.out, "\n  " + starts("other")[0] + "\n")) << checked.out;
  EXPECT_TRUE(has(checked.out, "\nwatchdog: runs, every 120 s, for probe\n")) << checked.out;
}

}  // namespace
