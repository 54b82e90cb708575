// End-to-end harness: every case runs the staged supervisor in a private PID
// and mount namespace (fresh /proc, tmpfs on /tmp) inside its own scratch tree
// <scratch root>/<Suite>.<Test>/ with sup/ (the supervisor, its config, the
// fake plugins, log/ and script/) and data/ (the supervisor's ../data/).
// The tree is left behind after the case for post-mortem.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

struct start_options {
  std::vector<std::string> args;  // arguments after argv[0]
  std::string argv0 = "./sup";
  std::string cwd;               // empty: the supervisor's directory
  std::string exec_path;         // empty: the supervisor's link in its directory
  int time_scale = 100;          // divides every sleep of the supervisor and its children
  std::string setup;             // shell commands run in the namespace before the start
  std::vector<std::string> env;  // extra NAME=VALUE, e.g. SUP_FAIL_FORK_AT=2
};

struct command_result {
  std::string out;     // standard output
  std::string status;  // "exit N", "signal N", or "timeout"
};

class e2e_case : public ::testing::Test {
 protected:
  void SetUp() override;
  ~e2e_case() override;  // kills the whole namespace

  // The case's tree.
  std::string case_dir() const { return case_dir_; }
  std::string sup_dir() const { return case_dir_ + "/sup"; }
  std::string data_dir() const { return case_dir_ + "/data"; }
  void config(const std::string& text);
  void program(const std::string& name);          // the fake plugin as sup/<name>
  void data_program(const std::string& name);     // the fake plugin as data/<name>
  void example_program(const std::string& name);  // the SDK's example plugin as sup/<name>
  void script(const std::string& name, const std::vector<std::string>& lines);
  // Paths relative to the supervisor's directory (e.g. "../data/.bootchk").
  void write_file(const std::string& rel_path, const std::string& content);
  std::string read_file(const std::string& rel_path) const;

  // Starts the supervisor; false (with a failure recorded) when it could not.
  [[nodiscard]] bool start(const start_options& options = {});
  // Sends a signal to the namespace's init, which passes it on (SIGUSR1
  // becomes SIGKILL of the supervisor).
  void signal_supervisor(int sig);
  // "exit N" or "signal N" once the supervisor has ended within the time.
  std::optional<std::string> exit_status(double seconds);
  // Runs argv0 (found from cwd) with args in the case's namespaces.
  command_result run_in_namespace(const std::string& argv0, const std::vector<std::string>& args,
                                  const std::string& cwd, double seconds = 20);

  // What the case shows.
  std::string stdout_text() const;
  // Host path of a path in the namespace, e.g. ns_path("/tmp/x").
  std::string ns_path(const std::string& path) const;
  std::string uci_path(const std::string& file) const { return ns_path("/tmp/.uci/" + file); }
  std::string run_file(const std::string& name = "sup") const;
  std::vector<std::string> starts(const std::string& name) const;
  std::vector<std::string> events(const std::string& name) const;

 private:
  std::string case_dir_;
  pid_t unshare_pid_ = -1;
  pid_t init_pid_ = -1;  // the namespace's init, seen from the host
};

// Names the cases of a table after the `name` member of their parameter.
struct param_name {
  template <class P>
  std::string operator()(const ::testing::TestParamInfo<P>& param) const {
    return param.param.name;
  }
};

// Polls every 20 ms until the predicate holds or the time is up.
bool wait_until(const std::function<bool()>& predicate, double seconds);

// Golden-output helpers: time stamps become "<time>", pids "<pid>".
std::string normalise(const std::string& text);
std::string read_text_file(const std::string& path);  // empty when missing
std::vector<std::string> split_lines(const std::string& text);
bool path_exists(const std::string& path);  // without following a final link
