// Start-up seen from outside: the instance lock, the run file's first line,
// and the failures that end the supervisor with status 0 before it starts
// any program.
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <optional>
#include <string>
#include <vector>

#include "harness.h"

namespace {

const char* const lock_refused = "process(./sup) already run\n";

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class startup : public e2e_case {
 protected:
  // Starts with `setup` planted first and expects start-up to end with status 0.
  void start_after(const char* setup) {
    with_probe();
    start_options options;
    options.setup = setup;
    ASSERT_TRUE(start(options));
    EXPECT_EQ(exit_status(20), "exit 0");
  }
  // One program that runs until it is killed, so the supervisor stays up.
  void with_probe() {
    config(R"({"__watch":{"processes":[{"base":"probe"}]}})");
    program("probe");
    script("probe", {"run"});
  }
};

TEST_F(startup, second_supervisor_of_the_same_name_is_refused) {
  with_probe();
  ASSERT_TRUE(start());
  ASSERT_TRUE(wait_until([&] { return run_file() == sup_dir() + "\n"; }, 20)) << run_file();
  const std::string before = run_file();
  // The winner may be writing its record: a loser leaves temporary files alone.
  // (Planted once the winner has cleared its own and started its program.)
  ASSERT_TRUE(wait_until([&] { return !starts("probe").empty(); }, 20));
  write_file("../data/.bootchk.AbC123", "{}");

  command_result second = run_in_namespace("./sup", {}, sup_dir());
  EXPECT_EQ(second.out, std::string("already in use for /tmp/.uci/sup.run\n") + lock_refused);
  EXPECT_EQ(second.status, "exit 0");
  EXPECT_EQ(run_file(), before);
  EXPECT_TRUE(path_exists(data_dir() + "/.bootchk.AbC123"));
  EXPECT_EQ(exit_status(0), std::nullopt) << "the first supervisor must keep running";
}

struct lost_run_file {
  const char* name;
  const char* how;  // shell commands that take the run file from its path
};

class startup_lost_run_file : public startup,
                              public ::testing::WithParamInterface<lost_run_file> {};

TEST_P(startup_lost_run_file, is_made_again_at_the_next_ending) {
  with_probe();
  ASSERT_TRUE(start());
  ASSERT_TRUE(wait_until([&] { return !starts("probe").empty(); }, 20));
  (void)run_in_namespace("/bin/sh", {"-c", std::string(GetParam().how) + " && killall -9 probe"},
                         "/");
  const std::string expected = sup_dir() + "\n<time>: probe killed by signal(9)\n";
  EXPECT_TRUE(wait_until([&] { return normalise(run_file()) == expected; }, 20)) << run_file();
  EXPECT_EQ(read_text_file(uci_path("old.run")).find("killed"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    table, startup_lost_run_file,
    ::testing::Values(lost_run_file{"removed", "rm -r /tmp/.uci"},
                      // Still linked, so only its inode tells it from the new one.
                      lost_run_file{
                          "renamed_and_replaced",
                          "mv /tmp/.uci/sup.run /tmp/.uci/old.run && : >/tmp/.uci/sup.run"}),
    param_name{});

TEST_F(startup, a_supervisor_whose_run_file_another_one_took_ends) {
  with_probe();
  ASSERT_TRUE(start());
  ASSERT_TRUE(wait_until([&] { return !starts("probe").empty(); }, 20));
  // The second one locks a new run file, then kills the first one's program by name.
  (void)run_in_namespace("/bin/sh", {"-c", "rm -r /tmp/.uci && { ./sup >/dev/null & }"}, sup_dir());
  EXPECT_EQ(exit_status(20), "exit 0");
  EXPECT_EQ(stdout_text(), std::string("already in use for /tmp/.uci/sup.run\n") + lock_refused);
}

// Between an ending that asks for a new launch cycle and that cycle, another
// holder takes the run file: the supervisor ends before its kill by name
// could reach that holder's programs.
TEST_F(startup, a_launch_cycle_checks_the_run_file_before_it_kills_by_name) {
  config(R"({"__watch":{"processes":[{"base":"asker"},{"base":"victim"}]}})");
  program("asker");
  program("victim");
  script("asker", {"exit 160"});
  script("victim", {"run"});
  start_options options;
  options.time_scale = 2;  // the next cycle waits 10 s, here 5: time for the take-over
  ASSERT_TRUE(start(options));
  ASSERT_TRUE(
      wait_until([&] { return has(run_file(), "asker exited normally with code(160)"); }, 20));
  // The holder's program writes its pid once the lock is held.
  const command_result taken = run_in_namespace(
      "/bin/sh",
      {"-c",
       "rm -r /tmp/.uci && mkdir /tmp/.uci /tmp/other && cp /bin/sleep /tmp/other/victim && "
       "{ umask 077 && flock -n /tmp/.uci/sup.run.lock sh -c 'echo $$ >/tmp/other/pid.new && "
       "mv /tmp/other/pid.new /tmp/other/pid && exec /tmp/other/victim 100000' "
       "</dev/null >/dev/null 2>&1 & } && "
       "while [ ! -s /tmp/other/pid ]; do sleep 0.02; done"},
      "/");
  ASSERT_EQ(taken.status, "exit 0");
  EXPECT_EQ(exit_status(30), "exit 0");
  EXPECT_EQ(starts("asker").size(), 1u) << "the take-over came after the new cycle began";
  EXPECT_EQ(run_in_namespace("/bin/sh", {"-c", "kill -0 $(cat /tmp/other/pid)"}, "/").status,
            "exit 0")
      << "the other holder's program was killed";
  EXPECT_TRUE(
      has(stdout_text(), std::string("already in use for /tmp/.uci/sup.run\n") + lock_refused))
      << stdout_text();
}

TEST_F(startup, an_empty_object_watches_the_default_program) {
  config("{}");
  program("corvex-dpi-inner");
  start_options options;
  // A stray copy is killed by name although the name is longer than the
  // kernel's 15-character process name.
  options.setup =
      "./corvex-dpi-inner & until [ -s log/corvex-dpi-inner.starts ]; do :; done 2>/dev/null";
  ASSERT_TRUE(start(options));
  ASSERT_TRUE(wait_until([&] { return starts("corvex-dpi-inner").size() == 2; }, 20));
  EXPECT_EQ(starts("corvex-dpi-inner")[1], "corvex-dpi-inner");
  const auto copies = [&] {
    // The kernel keeps the first 15 characters of the name.
    return run_in_namespace("/bin/sh", {"-c", "cat /proc/[0-9]*/comm | grep -cx corvex-dpi-inne"},
                            "/")
        .out;
  };
  EXPECT_TRUE(wait_until([&] { return copies() == "1\n"; }, 10)) << copies();
}

TEST_F(startup, a_long_list_of_programs_starts_without_delay) {
  // As many elements as fit in the 1 MiB a configuration may have; every one
  // is checked for its "base", the first four are started.
  std::string text = R"({"__watch":{"processes":[{"base":"p"})";
  while (text.size() < 1024 * 1024 - 16) text += R"(,{"base":"p"})";
  config(text + "]}}");
  program("p");
  script("p", {"run"});
  ASSERT_TRUE(start());
  EXPECT_TRUE(wait_until([&] { return starts("p").size() == 4; }, 20)) << starts("p").size();
  EXPECT_EQ(exit_status(0), std::nullopt);
}

struct unusable_config {
  const char* name;
  std::optional<std::string> text;  // none: no config file at all
};

class startup_config : public startup, public ::testing::WithParamInterface<unusable_config> {};

TEST_P(startup_config, ends_with_status_0_before_taking_the_lock) {
  program("probe");
  if (GetParam().text) config(*GetParam().text);
  ASSERT_TRUE(start());
  EXPECT_EQ(exit_status(20), "exit 0");
  EXPECT_EQ(stdout_text(), "failed to init daemon\n");
  EXPECT_FALSE(path_exists(uci_path("sup.run")));
  EXPECT_TRUE(starts("probe").empty());
}

INSTANTIATE_TEST_SUITE_P(
    table, startup_config,
    ::testing::Values(
        unusable_config{"missing", std::nullopt}, unusable_config{"empty", ""},
        unusable_config{"not_json", R"({"__watch": {"processes": [)"},
        unusable_config{"larger_than_1_MiB", "{}" + std::string(1024 * 1024, ' ')},
        unusable_config{"base_not_a_string", R"({"__watch":{"processes":[{"base":7}]}})"},
        unusable_config{"later_element_without_base",
                        R"({"__watch":{"processes":[{"base":"probe"},{"excheck":true}]}})"}),
    param_name{});

struct placement {
  const char* name;
  bool full_path;  // argv0 is the absolute path instead of ./sup
  bool elsewhere;  // started from the root directory instead of its own
  std::vector<std::string> args;
};

class startup_directory : public startup, public ::testing::WithParamInterface<placement> {};

TEST_P(startup_directory, run_file_starts_with_the_supervisors_directory) {
  with_probe();
  start_options options;
  options.args = GetParam().args;
  if (GetParam().full_path) options.argv0 = sup_dir() + "/sup";
  if (GetParam().elsewhere) options.cwd = "/";
  ASSERT_TRUE(start(options));
  EXPECT_TRUE(wait_until([&] { return run_file().rfind(sup_dir() + "\n", 0) == 0; }, 20))
      << run_file();
  // The program's start log lies in the supervisor's directory only when
  // that became the working directory.
  const std::string expected = options.args.empty() ? "probe" : "probe -d";
  EXPECT_TRUE(
      wait_until([&] { return starts("probe") == std::vector<std::string>{expected}; }, 20));
  EXPECT_EQ(exit_status(0), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    table, startup_directory,
    ::testing::Values(placement{"dot_slash_from_its_own_directory", false, false, {}},
                      placement{"full_path_from_elsewhere", true, true, {}},
                      placement{"full_path_with_argument", true, true, {""}}),
    param_name{});

struct planted {
  const char* name;
  const char* setup;                   // shell commands run in the case's /tmp
  const char* watched;                 // a file that must stay as it was
  std::optional<std::string> content;  // none: it must not come to exist
  const char* said;                    // standard output
  bool runs;                           // the supervisor goes on with a run file of its own
};

class startup_run_file : public startup, public ::testing::WithParamInterface<planted> {};

// Whatever stands at the run file's name is no supervisor's (we hold the
// lock): replaced when it can be, and never written through.
TEST_P(startup_run_file, unusable_run_file_is_replaced_or_refused) {
  with_probe();
  start_options options;
  options.setup = GetParam().setup;
  ASSERT_TRUE(start(options));
  if (GetParam().runs) {
    ASSERT_TRUE(wait_until([&] { return !starts("probe").empty(); }, 20));
    EXPECT_EQ(run_file(), sup_dir() + "\n");
  } else {
    EXPECT_EQ(exit_status(20), "exit 0");
    EXPECT_TRUE(starts("probe").empty());
  }
  EXPECT_EQ(stdout_text(), GetParam().said);
  if (GetParam().content)
    EXPECT_EQ(read_text_file(ns_path(GetParam().watched)), *GetParam().content);
  else
    EXPECT_FALSE(path_exists(ns_path(GetParam().watched)));
}

INSTANTIATE_TEST_SUITE_P(
    table, startup_run_file,
    ::testing::Values(
        planted{
            "symlink_to_a_file",
            "mkdir /tmp/.uci && echo precious >/tmp/target && ln -s /tmp/target /tmp/.uci/sup.run",
            "/tmp/target", "precious\n", "replaced /tmp/.uci/sup.run: it is not a regular file\n",
            true},
        planted{"dangling_symlink", "mkdir /tmp/.uci && ln -s /tmp/target /tmp/.uci/sup.run",
                "/tmp/target", std::nullopt,
                "replaced /tmp/.uci/sup.run: it is not a regular file\n", true},
        planted{"uci_is_a_regular_file", "echo precious >/tmp/.uci", "/tmp/.uci", "precious\n",
                "refusing /tmp/.uci/: it is not a directory\n", false},
        // Would take the appends and, once its reader stops, stall them.
        planted{"fifo", "mkdir /tmp/.uci && mkfifo /tmp/.uci/sup.run && echo precious >/tmp/keep",
                "/tmp/keep", "precious\n", "replaced /tmp/.uci/sup.run: it is not a regular file\n",
                true},
        planted{"device",
                "mkdir /tmp/.uci && touch /tmp/.uci/sup.run /tmp/keep && "
                "mount --bind /dev/null /tmp/.uci/sup.run",
                "/tmp/keep", "", "failed to replace /tmp/.uci/sup.run: it is not a regular file\n",
                false},
        // Made by another user while /tmp/.uci/ was open to all: its lines
        // would be forgeable, its size theirs to choose.
        planted{"another_users_while_uci_was_open",
                "mkdir -m 0777 /tmp/.uci && setpriv --reuid=65534 --regid=65534 "
                "--clear-groups sh -c 'echo forged >/tmp/.uci/sup.run && chmod 0666 "
                "/tmp/.uci/sup.run' && echo precious >/tmp/keep",
                "/tmp/keep", "precious\n",
                "tightened /tmp/.uci/: group or others could write to it\n"
                "replaced /tmp/.uci/sup.run: it is owned by another user\n",
                true}),
    param_name{});

// Another user who may read the run file (or anything else of ours) cannot
// hold the lock that decides who supervises: neither before the start nor
// by waiting for it.
TEST_F(startup, another_user_cannot_hold_or_wait_for_the_instance_lock) {
  with_probe();
  start_options options;
  options.setup =
      "mkdir /tmp/.uci && echo /old >/tmp/.uci/sup.run && "
      "{ setpriv --reuid=65534 --regid=65534 --clear-groups flock -x /tmp/.uci/sup.run "
      "sh -c 'echo >/tmp/held; exec sleep 1000' & } && until [ -s /tmp/held ]; do :; done";
  ASSERT_TRUE(start(options));
  ASSERT_TRUE(wait_until([&] { return !starts("probe").empty(); }, 20)) << stdout_text();
  EXPECT_EQ(stdout_text(), "");
  EXPECT_EQ(run_file(), sup_dir() + "\n");
  // Nor can it open the lock file to wait in flock for our end.
  const command_result waiter =
      run_in_namespace("setpriv",
                       {"--reuid=65534", "--regid=65534", "--clear-groups", "flock", "-x", "-w",
                        "1", "/tmp/.uci/sup.run.lock", "true"},
                       "/");
  EXPECT_NE(waiter.status, "exit 0");
  EXPECT_NE(waiter.status, "exit 1") << "it could open the lock file and wait";
  EXPECT_EQ(exit_status(0), std::nullopt);
}

// A program that ends at once, over and over, under a long name: every exit
// line is about 236 bytes.
class startup_crash_loop : public startup {
 protected:
  void crash_loop() {
    config(R"({"__watch":{"processes":[{"base":")" + name + R"("}]}})");
    program(name);
    script(name, {"exit 3"});
  }
  // The run file holds the directory, then whole exit lines only.
  void expect_whole_lines(const std::string& run) {
    ASSERT_FALSE(run.empty());
    EXPECT_EQ(run.back(), '\n');
    const auto lines = split_lines(normalise(run));
    EXPECT_EQ(lines[0], sup_dir());
    for (std::size_t i = 1; i < lines.size(); ++i)
      ASSERT_EQ(lines[i].rfind("<time>: " + name + " exited normally with code(3)", 0), 0u)
          << "line " << i << ": " << lines[i];
  }
  bool started_times(std::size_t times, double seconds) {
    return wait_until([&] { return starts(name).size() >= times; }, seconds);
  }
  // Read once the supervisor is gone: a line being written, or undone, would
  // otherwise show half.
  std::string final_run_file() {
    signal_supervisor(SIGUSR1);
    EXPECT_EQ(exit_status(20), "signal 9");
    return run_file();
  }
  const std::string name = std::string(180, 'c');
};

TEST_F(startup_crash_loop, the_run_file_stays_within_its_cap) {
  crash_loop();
  start_options options;
  options.time_scale = 2000;  // 5 ms a restart: busy, yet leaves cores to other cases
  ASSERT_TRUE(start(options));
  // 1,200 lines of about 236 bytes pass 262,144 bytes.
  ASSERT_TRUE(started_times(1200, 120)) << starts(name).size();
  const std::string run = final_run_file();
  EXPECT_LE(run.size(), 262144u);
  EXPECT_LT(split_lines(run).size(), 1190u) << "compacted";
  expect_whole_lines(run);
}

TEST_F(startup_crash_loop, a_full_tmp_leaves_no_half_line) {
  crash_loop();
  start_options options;
  options.time_scale = 2000;
  options.setup = "mkdir /tmp/.uci && mount -t tmpfs -o size=16k tmpfs /tmp/.uci";
  ASSERT_TRUE(start(options));
  // 16 KiB hold about 64 lines; the appends after them fail.
  ASSERT_TRUE(started_times(200, 60)) << starts(name).size();
  std::string run = final_run_file();
  // The kill may land between a short write and its undoing: then the last
  // line alone is cut. A half line that another one follows is the fault.
  if (!run.empty() && run.back() != '\n') run.erase(run.find_last_of('\n') + 1);
  expect_whole_lines(run);
}

struct planted_directory {
  const char* name;
  const char* setup;    // shell commands run in the case's /tmp
  const char* watched;  // a file that must not come to exist
  const char* reason;
};

class startup_uci_directory : public startup,
                              public ::testing::WithParamInterface<planted_directory> {};

TEST_P(startup_uci_directory, planted_directory_is_refused_untouched) {
  start_after(GetParam().setup);
  EXPECT_EQ(stdout_text(), std::string("refusing /tmp/.uci/: ") + GetParam().reason + "\n");
  EXPECT_FALSE(path_exists(ns_path(GetParam().watched)));
  EXPECT_TRUE(starts("probe").empty());
}

INSTANTIATE_TEST_SUITE_P(
    table, startup_uci_directory,
    ::testing::Values(planted_directory{"symlink",
                                        "mkdir /tmp/elsewhere && ln -s /tmp/elsewhere /tmp/.uci",
                                        "/tmp/elsewhere/sup.run", "it is a symbolic link"},
                      planted_directory{"owned_by_another_user",
                                        "mkdir /tmp/.uci && chown 4242 /tmp/.uci",
                                        "/tmp/.uci/sup.run", "it is owned by another user"}),
    param_name{});

struct uci_mode {
  const char* name;
  const char* umask;  // the supervisor's
  const char* setup;  // shell commands run in the case's /tmp
  const char* said;
};

class startup_uci_mode : public startup, public ::testing::WithParamInterface<uci_mode> {};

TEST_P(startup_uci_mode, only_its_owner_may_write_to_the_directory) {
  with_probe();
  start_options options;
  options.setup = GetParam().setup;
  options.exec_path = "/bin/bash";
  options.argv0 = "bash";
  options.args = {"-c", std::string("umask ") + GetParam().umask + "; exec ./sup"};
  ASSERT_TRUE(start(options));
  ASSERT_TRUE(wait_until([&] { return !starts("probe").empty(); }, 20));
  EXPECT_EQ(stdout_text(), GetParam().said);
  struct stat status {};
  ASSERT_EQ(::stat(uci_path("").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0755u);
}

INSTANTIATE_TEST_SUITE_P(
    table, startup_uci_mode,
    ::testing::Values(uci_mode{"created_under_umask_000", "000", "", ""},
                      uci_mode{"created_under_umask_077", "077", "", ""},
                      uci_mode{"writable_by_all", "000", "mkdir -m 0777 /tmp/.uci",
                               "tightened /tmp/.uci/: group or others could write to it\n"}),
    param_name{});

struct data_mode {
  const char* name;
  const char* setup;  // shell commands in the namespace; <data> is replaced
  const char* said;
  bool runs;  // false: start-up ends, no program starts
};

class startup_data_directory : public startup, public ::testing::WithParamInterface<data_mode> {};

// ../data/ holds what plugin mode runs as root: treated as /tmp/.uci/ is.
TEST_P(startup_data_directory, only_its_owner_may_write_to_it) {
  with_probe();
  start_options options;
  options.setup = GetParam().setup;
  for (auto at = options.setup.find("<data>"); at != std::string::npos;
       at = options.setup.find("<data>"))
    options.setup.replace(at, 6, data_dir());
  options.exec_path = "/bin/bash";
  options.argv0 = "bash";
  options.args = {"-c", "umask 000; exec ./sup"};
  ASSERT_TRUE(start(options));
  if (!GetParam().runs) {
    EXPECT_EQ(exit_status(20), "exit 0");
    EXPECT_TRUE(starts("probe").empty());
  } else {
    ASSERT_TRUE(wait_until([&] { return !starts("probe").empty(); }, 20));
  }
  EXPECT_EQ(stdout_text(), GetParam().said);
  struct stat status {};
  ASSERT_EQ(::stat(ns_path(data_dir()).c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, GetParam().runs ? 0755u : 0777u);
}

INSTANTIATE_TEST_SUITE_P(
    table, startup_data_directory,
    ::testing::Values(data_mode{"created_under_umask_000", "rmdir <data>", "", true},
                      data_mode{"writable_by_all", "chmod 0777 <data>",
                                "tightened ../data/: group or others could write to it\n", true},
                      data_mode{"owned_by_another_user", "chmod 0777 <data> && chown 4242 <data>",
                                "refusing ../data/: it is owned by another user\n", false}),
    param_name{});

struct taken_over_case {
  const char* name;
  const char* taken;  // under ../data/, made another user's while the supervisor runs
  const char* said;
};

class startup_plugin_mode_taken : public startup,
                                  public ::testing::WithParamInterface<taken_over_case> {};

// A ../data/, a record or a program that became another user's while the
// supervisor ran is no word to run programs by as root: the next cycle starts
// them from our own directory.
TEST_P(startup_plugin_mode_taken, the_next_cycle_runs_from_our_own_directory) {
  with_probe();
  script("probe", {"sleep 300 exit 160", "run"});
  data_program("probe");
  write_file("../data/.bootchk", R"({"version":"1.0.0.1","plugindata":1})");
  ASSERT_TRUE(start());
  ASSERT_TRUE(wait_until([&] { return !starts("probe").empty(); }, 20));
  EXPECT_EQ(starts("probe")[0], "../data//probe -T /tmp/.uci/ -D ../data/ -O pellavora_K2310");
  ASSERT_EQ(::chown((ns_path(data_dir()) + GetParam().taken).c_str(), 4242, 4242), 0);
  ASSERT_TRUE(wait_until([&] { return starts("probe").size() >= 2; }, 20));
  EXPECT_EQ(starts("probe")[1].rfind("probe -r ", 0), 0u) << starts("probe")[1];
  EXPECT_NE(stdout_text().find(GetParam().said), std::string::npos) << stdout_text();
}

INSTANTIATE_TEST_SUITE_P(
    table, startup_plugin_mode_taken,
    ::testing::Values(
        taken_over_case{"data_directory", "", "refusing ../data/: it is owned by another user\n"},
        taken_over_case{"record", "/.bootchk",
                        "refusing ../data//.bootchk: it is not the supervisor's own file\n"},
        taken_over_case{"program", "/probe",
                        "failed to exec ../data//probe, error is Permission denied\n"}),
    param_name{});

}  // namespace
