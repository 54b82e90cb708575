// plugsup-status end to end: it reads the real supervisor of a case from the
// case's namespaces, as a table and as JSON.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <ctime>
#include <memory>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"

namespace {

using json_owner = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

struct program_row {
  std::string name;
  bool running;
  int restart_reason;  // when running
  bool plugin_mode;    // when running
  int endings;         // -1: not checked
  std::string last;    // pattern of the normalised last ending; empty: null
  int alive;           // 1: an age, 0: null, -1: not checked
};

struct status_case {
  std::string name;
  std::string config;
  std::vector<std::pair<std::string, std::vector<std::string>>> scripts;
  int time_scale;
  std::string waited;  // a program, and how many of its starts to wait for
  std::size_t starts;
  std::string run_line;  // and a text to wait for in the run file
  int status;
  bool watchdog;
  std::vector<program_row> programs;
};

void PrintTo(const status_case& row, std::ostream* out) { *out << row.name; }

class status_e2e : public e2e_case {
 protected:
  command_result status(const std::vector<std::string>& args) {
    return run_in_namespace(E2E_STATUS, args, "/");
  }
  // Runs `plugsup-status --json <args>` and parses what it printed.
  json_owner status_json(const std::vector<std::string>& args, std::string* exit) {
    std::vector<std::string> all = {"--json"};
    all.insert(all.end(), args.begin(), args.end());
    const command_result result = status(all);
    *exit = result.status;
    return json_owner(cJSON_Parse(result.out.c_str()), cJSON_Delete);
  }
  void install_package_of(const std::string& name) {
    const std::string command = "cd '" + sup_dir() + "' && mkdir -p pkgsrc && cp '" +
                                E2E_FAKE_PLUGIN + "' 'pkgsrc/" + name +
                                "' && tar -czf pkg.tgz -C pkgsrc .";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
};

// Two looks at a table may straddle the end of a second: its ages ("0s",
// "3m12s", "2h05m") are masked before comparing.
std::string without_ages(const std::string& table) {
  static const std::regex age("\\b[0-9]+[smhd]([0-9]{2}[smh])?\\b");
  return std::regex_replace(table, age, "<age>");
}

// Shell commands that start, in the background, a stand-in supervisor `name`
// of one program that runs: a holder of /tmp/.uci/<name>.run, in /tmp/<name>
// with its config, whose child runs "steady".
std::string healthy_supervisor(const std::string& name) {
  const std::string dir = "/tmp/" + name;
  // A copy of perl named like the supervisor holds its 0600 lock file, as
  // the daemon does, and runs the program.
  return "mkdir -p " + dir + " && cd " + dir +
         " && echo '{\"__watch\":{\"processes\":[{\"base\":\"steady\"}]}}' >config && "
         "cp /bin/sleep steady && cp \"$(command -v perl)\" " +
         name + " && : >>/tmp/.uci/" + name + ".run && { ./" + name +
         " -e 'use Fcntl qw(:flock); umask 077; open(my $l, \">>\", \"/tmp/.uci/" + name +
         ".run.lock\") or die; flock($l, LOCK_EX | LOCK_NB) or die; "
         "if (!fork) { exec {\"" +
         dir + "/steady\"} \"steady\", \"100000\" } sleep 100000' </dev/null >/dev/null 2>&1 & }";
}

bool recent(const cJSON* started) {
  const double now = static_cast<double>(std::time(nullptr));
  return cJSON_IsNumber(started) && started->valuedouble > now - 300 &&
         started->valuedouble < now + 5;
}

void expect_program(const cJSON* item, const program_row& row) {
  SCOPED_TRACE(row.name);
  EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(item, "name")), row.name.c_str());
  EXPECT_EQ(cJSON_IsTrue(cJSON_GetObjectItem(item, "running")), row.running);
  const cJSON* pid = cJSON_GetObjectItem(item, "pid");
  const cJSON* reason = cJSON_GetObjectItem(item, "restart_reason");
  const cJSON* plugin = cJSON_GetObjectItem(item, "plugin_mode");
  if (row.running) {
    EXPECT_TRUE(cJSON_IsNumber(pid) && pid->valuedouble > 2);
    EXPECT_TRUE(recent(cJSON_GetObjectItem(item, "started")));
    EXPECT_TRUE(cJSON_IsNumber(reason) && reason->valueint == row.restart_reason);
    EXPECT_EQ(cJSON_IsTrue(plugin), row.plugin_mode);
  } else {
    for (const char* member : {"pid", "started", "restart_reason", "plugin_mode"})
      EXPECT_TRUE(cJSON_IsNull(cJSON_GetObjectItem(item, member))) << member;
  }
  const cJSON* endings = cJSON_GetObjectItem(item, "endings");
  if (row.endings >= 0) {
    EXPECT_TRUE(cJSON_IsNumber(endings) && endings->valueint == row.endings);
  }
  const cJSON* last = cJSON_GetObjectItem(item, "last_ending");
  if (row.last.empty())
    EXPECT_TRUE(cJSON_IsNull(last));
  else
    EXPECT_TRUE(cJSON_IsString(last) &&
                std::regex_match(normalise(last->valuestring), std::regex(row.last)))
        << (cJSON_IsString(last) ? last->valuestring : "not a string");
  const cJSON* alive = cJSON_GetObjectItem(item, "alive_age_s");
  if (row.alive >= 0) {
    EXPECT_EQ(cJSON_IsNumber(alive), row.alive == 1);
  }
}

class status_table : public status_e2e, public ::testing::WithParamInterface<status_case> {};

TEST_P(status_table, reports_the_supervisor_and_its_programs) {
  const status_case& row = GetParam();
  config(row.config);
  for (const auto& [program_name, lines] : row.scripts) {
    program(program_name);
    script(program_name, lines);
  }
  if (row.name == "plugin_mode_after_an_install") {
    data_program("upgrader");
    install_package_of("other");
  }
  start_options options;
  options.time_scale = row.time_scale;
  ASSERT_TRUE(start(options));
  ASSERT_TRUE(wait_until(
      [&] {
        return starts(row.waited).size() >= row.starts &&
               run_file().find(row.run_line) != std::string::npos;
      },
      30));
  std::string exit;
  const json_owner document = status_json({"sup"}, &exit);
  ASSERT_TRUE(document) << stdout_text();
  EXPECT_EQ(exit, "exit " + std::to_string(row.status)) << stdout_text();
  const cJSON* supervisor = cJSON_GetObjectItem(document.get(), "supervisor");
  EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(supervisor, "name")), "sup");
  EXPECT_EQ(cJSON_GetNumberValue(cJSON_GetObjectItem(supervisor, "pid")), 2);
  EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(supervisor, "directory")),
               sup_dir().c_str());
  EXPECT_TRUE(recent(cJSON_GetObjectItem(supervisor, "started")));
  EXPECT_EQ(cJSON_IsTrue(cJSON_GetObjectItem(supervisor, "watchdog")), row.watchdog);
  const cJSON* programs = cJSON_GetObjectItem(document.get(), "programs");
  ASSERT_EQ(cJSON_GetArraySize(programs), static_cast<int>(row.programs.size()));
  for (std::size_t i = 0; i < row.programs.size(); ++i)
    expect_program(cJSON_GetArrayItem(programs, static_cast<int>(i)), row.programs[i]);
}

const char* const time_line = "<time>: ";

INSTANTIATE_TEST_SUITE_P(
    table, status_table,
    ::testing::Values(
        status_case{"crash_looping",
                    R"({"__watch":{"processes":[{"base":"crashy"}]}})",
                    {{"crashy", {"segv", "segv", "run"}}},
                    100,
                    "crashy",
                    3,
                    "",
                    0,
                    false,
                    {{"crashy", true, 11, false, 2,
                      std::string(time_line) + "crashy killed by signal\\(11\\)", 0}}},
        status_case{"killed_by_the_watchdog",
                    R"({"__watch":{"processes":[{"base":"probe","excheck":true}]}})",
                    {{"probe", {"run", "alive 30"}}},
                    100,
                    "probe",
                    2,
                    "",
                    0,
                    true,
                    {{"probe", true, 199, false, 1,
                      "probe is not alive, and we will kill it.\n" + std::string(time_line) +
                          "probe killed by signal\\(9\\)",
                      -1}}},
        status_case{"plugin_mode_after_an_install",
                    R"({"__watch":{"processes":[{"base":"upgrader"},{"base":"other"}]}})",
                    {{"upgrader", {"package pkg.tgz exit 130", "run"}}, {"other", {"run"}}},
                    100,
                    "upgrader",
                    2,
                    "",
                    0,
                    false,
                    {{"upgrader", true, 130, true, 1,
                      std::string(time_line) + "upgrader exited normally with code\\(130\\)", 0},
                     {"other", true, 130, true, 0, "", 0}}}),
    param_name{});

TEST_F(status_e2e, the_table_by_directory_and_name) {
  config(R"({"__watch":{"processes":[{"base":"probe","excheck":true},{"base":"quitter"},)"
         R"({"base":"scripted"},{"base":"argued"}]}})");
  program("probe");
  program("quitter");
  // Their command lines start with the shell: "/bin/sh scripted", and with
  // the argument of the "#!" line too: "/bin/sh -e argued".
  write_file("scripted", "#!/bin/sh\nwhile :; do sleep 1; done\n");
  write_file("argued", "#!/bin/sh -e\nwhile :; do sleep 1; done\n");
  for (const char* name : {"/scripted", "/argued"})
    ASSERT_EQ(::chmod((sup_dir() + name).c_str(), 0755), 0);
  script("probe", {"touch /tmp/.uci//probe.alive run"});
  script("quitter", {"segv"});
  start_options options;
  options.time_scale = 1;
  // Two more supervisors, all of whose programs run, one with a run file
  // older than this one's and one with a newer: whichever comes last in the
  // listing, the status without a target is the worst of the three.
  options.setup = "mkdir -p /tmp/.uci && : >/tmp/.uci/aaa.run";
  ASSERT_TRUE(start(options));
  ASSERT_TRUE(
      wait_until([&] { return run_file().find("quitter killed") != std::string::npos; }, 20));
  for (const char* name : {"aaa", "zzz"})
    ASSERT_EQ(run_in_namespace("/bin/sh", {"-c", healthy_supervisor(name)}, "/").status, "exit 0");
  const command_result by_directory = status({sup_dir()});
  EXPECT_EQ(by_directory.status, "exit 1");
  EXPECT_EQ(without_ages(status({"sup"}).out), without_ages(by_directory.out));
  for (const char* name : {"aaa", "zzz"})
    ASSERT_TRUE(wait_until([&] { return status({name}).status == "exit 0"; }, 20)) << name;
  const command_result every = status({});
  EXPECT_EQ(every.status, "exit 1") << every.out;
  for (const char* name : {"aaa", "sup", "zzz"})
    EXPECT_NE(every.out.find(std::string("supervisor ") + name + ", pid "), std::string::npos)
        << every.out;
  // Scale 1: the quitter waits 60 s for its restart after a crash, and the
  // probe's alive file stays until the first check at 120 s.
  std::string exit;
  const json_owner document = status_json({"sup"}, &exit);
  const std::string pid = std::to_string(static_cast<int>(cJSON_GetNumberValue(
      cJSON_GetObjectItem(cJSON_GetObjectItem(document.get(), "supervisor"), "pid"))));
  // Another user may not read the supervisor's working directory: the table
  // shows the one its run file records, and says so.
  const command_result other_user = run_in_namespace(
      "setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", E2E_STATUS, "sup"}, "/");
  if (other_user.status != "exit 126" && other_user.status != "exit 127") {  // a private tree
    EXPECT_EQ(other_user.status, "exit 1");
    EXPECT_NE(other_user.out.find("\ndirectory " + sup_dir() + "\n"), std::string::npos);
    EXPECT_NE(stdout_text().find("cannot read /proc/" + pid +
                                 "/cwd: Permission denied; showing the "
                                 "directory its run file records"),
              std::string::npos);
  }
  const cJSON* programs = cJSON_GetObjectItem(document.get(), "programs");
  ASSERT_EQ(cJSON_GetArraySize(programs), 4);
  expect_program(cJSON_GetArrayItem(programs, 0), {"probe", true, 0, false, 0, "", 1});
  expect_program(cJSON_GetArrayItem(programs, 1),
                 {"quitter", false, 0, false, 1,
                  std::string(time_line) + "quitter killed by signal\\(11\\)", 0});
  const std::string table = normalise(by_directory.out);
  const std::string when = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8}";
  EXPECT_TRUE(std::regex_search(
      table, std::regex("^supervisor sup, pid " + pid + ", up since " + when +
                        " \\([0-9ms]+\\), watchdog running\ndirectory " + sup_dir() + "\n")))
      << table;
  EXPECT_TRUE(std::regex_search(
      table, std::regex("\nprobe +running +[0-9]+ +" + when + " +0 +plain +0 +[0-9]+s\n")))
      << table;
  EXPECT_TRUE(std::regex_search(table, std::regex("\nquitter +down( +-){4} +1 +-\n"))) << table;
  EXPECT_TRUE(std::regex_search(
      table, std::regex("\nscripted +running +[0-9]+ +" + when + " +0 +plain +0 +-\n")))
      << table;
  EXPECT_TRUE(std::regex_search(
      table, std::regex("\nargued +running +[0-9]+ +" + when + " +0 +plain +0 +-\n")))
      << table;
  EXPECT_TRUE(std::regex_search(
      table,
      std::regex("\nlast endings:\n  quitter: +<time>: quitter killed by signal\\(11\\)\n$")))
      << table;
}

TEST_F(status_e2e, no_supervisor_runs_once_it_is_gone) {
  config(R"({"__watch":{"processes":[{"base":"steady"}]}})");
  program("steady");
  start_options options;
  // Neither a link nor a FIFO among the run files may be followed or wait.
  options.setup =
      "mkdir -p /tmp/.uci && ln -s /etc/passwd /tmp/.uci/link.run && "
      "mkfifo /tmp/.uci/fifo.run";
  ASSERT_TRUE(start(options));
  ASSERT_TRUE(wait_until([&] { return !starts("steady").empty(); }, 20));
  EXPECT_EQ(status({"sup"}).status, "exit 0");
  std::string exit;
  const json_owner every = status_json({}, &exit);
  EXPECT_EQ(cJSON_GetArraySize(every.get()), 1);
  EXPECT_EQ(status({"--bogus"}).status, "exit 3");
  EXPECT_EQ(status({"elsewhere"}).status, "exit 2");
  EXPECT_EQ(status({"/"}).status, "exit 2");

  signal_supervisor(SIGUSR1);  // SIGKILL: the run file stays, without a holder
  ASSERT_TRUE(exit_status(20).has_value());
  const command_result named = status({"sup"});
  EXPECT_EQ(named.status, "exit 2");
  EXPECT_EQ(named.out, "");
  const json_owner absent = status_json({"sup"}, &exit);
  EXPECT_EQ(exit, "exit 2");
  EXPECT_TRUE(cJSON_IsNull(cJSON_GetObjectItem(absent.get(), "supervisor")));
  EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(absent.get(), "programs")), 0);
  const json_owner none = status_json({}, &exit);
  EXPECT_EQ(exit, "exit 2");
  EXPECT_TRUE(cJSON_IsArray(none.get()) && cJSON_GetArraySize(none.get()) == 0);
  const std::string errors = stdout_text();
  EXPECT_NE(errors.find("no supervisor sup runs: /tmp/.uci/sup.run is held by no process (left "
                        "by one that ran from " +
                        sup_dir() + ")"),
            std::string::npos)
      << errors;
  EXPECT_NE(errors.find("/tmp/.uci/link.run: a symbolic link; not read"), std::string::npos);
  EXPECT_NE(errors.find("/tmp/.uci/fifo.run: not a regular file; not read"), std::string::npos);
}

// Another user holds a flock on the run file (it may read it) and names carry
// control and invalid bytes: the supervisor shown is the one holding the
// instance lock, the table shows no raw control byte, the JSON is UTF-8, and
// an alive path that is a directory counts as missing, as for the watchdog.
TEST_F(status_e2e, trusts_only_the_supervisor_and_shows_names_safely) {
  const std::string name = std::string("q\x1b]0;x\x07q") + "\xff";
  config(R"({"__watch":{"processes":[{"base":"q\u001b]0;x\u0007q)" + std::string("\xff") +
         R"(","excheck":true}]}})");
  program(name);
  script(name, {"run"});
  start_options options;
  options.time_scale = 1;
  options.setup =
      "mkdir /tmp/.uci && echo /old >/tmp/.uci/sup.run && "
      "{ setpriv --reuid=65534 --regid=65534 --clear-groups flock -x /tmp/.uci/sup.run "
      "sh -c 'echo >/tmp/held; exec sleep 1000' & } && until [ -s /tmp/held ]; do :; done";
  ASSERT_TRUE(start(options));
  ASSERT_TRUE(wait_until([&] { return !starts(name).empty(); }, 20)) << stdout_text();
  (void)run_in_namespace("mkdir", {"/tmp/.uci/" + name + ".alive"}, "/");
  // The setup's processes came first: the supervisor's pid is the one named sup.
  const std::string pid =
      run_in_namespace("/bin/sh",
                       {"-c",
                        "for p in /proc/[0-9]*; do [ \"$(cat $p/comm)\" = sup ] && "
                        "echo ${p#/proc/}; done 2>/dev/null"},
                       "/")
          .out;
  ASSERT_FALSE(pid.empty());
  const command_result table = status({"sup"});
  EXPECT_EQ(table.status, "exit 0");
  EXPECT_NE(table.out.find("supervisor sup, pid " + pid.substr(0, pid.size() - 1) + ","),
            std::string::npos)
      << table.out;
  EXPECT_NE(table.out.find("q\\x1b]0;x\\x07q\\xff  running"), std::string::npos) << table.out;
  EXPECT_EQ(table.out.find_first_of("\x1b\x07\xff"), std::string::npos);
  std::string exit;
  const json_owner document = status_json({"sup"}, &exit);
  ASSERT_NE(document, nullptr);
  EXPECT_EQ(cJSON_GetNumberValue(
                cJSON_GetObjectItem(cJSON_GetObjectItem(document.get(), "supervisor"), "pid")),
            std::stod(pid));
  const cJSON* program = cJSON_GetArrayItem(cJSON_GetObjectItem(document.get(), "programs"), 0);
  EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(program, "name")),
               "q\x1b]0;x\x07q\xef\xbf\xbd");
  EXPECT_TRUE(cJSON_IsNull(cJSON_GetObjectItem(program, "alive_age_s")));
  // Under hidepid=2 another user sees the lock's holder in /proc/locks and
  // nothing else: it says so, with a status of its own.
  const command_result hidden = run_in_namespace(
      "/bin/sh",
      {"-c",
       "mount -o remount,hidepid=2 /proc && exec setpriv --reuid=65534 --regid=65534 "
       "--clear-groups \"$0\" sup",
       E2E_STATUS},
      "/");
  if (hidden.status != "exit 126" && hidden.status != "exit 127") {  // a private tree
    EXPECT_EQ(hidden.status, "exit 4");
    EXPECT_NE(
        stdout_text().find("plugsup-status: supervisor sup (pid " + pid.substr(0, pid.size() - 1) +
                           ") runs, but /proc hides it and its programs from this user "
                           "(hidepid); ask as root\n"),
        std::string::npos)
        << stdout_text();
  }
}

}  // namespace
