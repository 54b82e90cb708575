#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

using steady = std::chrono::steady_clock;

steady::time_point deadline_after(double seconds) {
  return steady::now() +
         std::chrono::duration_cast<steady::duration>(std::chrono::duration<double>(seconds));
}

std::string describe(int status) {
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  return "signal " + std::to_string(WTERMSIG(status));
}

// The caller's environment without anything the harness decides itself.
std::vector<std::string> case_environment(int time_scale) {
  std::vector<std::string> env;
  std::string asan_options = "verify_asan_link_order=0";
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string item = *entry;
    if (item.rfind("ASAN_OPTIONS=", 0) == 0)
      asan_options = item.substr(13) + ":" + asan_options;
    else if (item.rfind("LD_PRELOAD=", 0) != 0 && item.rfind("SUP_", 0) != 0 &&
             item.rfind("NS_INIT_", 0) != 0)
      env.push_back(item);
  }
  env.push_back("ASAN_OPTIONS=" + asan_options);
  env.push_back("SUP_TIME_SCALE=" + std::to_string(time_scale));
  return env;
}

std::vector<char*> c_strings(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (auto& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Starts argv[0] (searched in PATH) with stdin from /dev/null; it dies with
// the test process, so that no case outlives a crashed test binary.
pid_t spawn(std::vector<std::string> argv, std::vector<std::string> env, const std::string& cwd,
            int out_fd, int err_fd) {
  std::vector<char*> args = c_strings(argv);
  std::vector<char*> envp = c_strings(env);
  pid_t pid = ::fork();
  if (pid != 0) return pid;
  (void)::prctl(PR_SET_PDEATHSIG, SIGKILL);
  // A program's "kill 0" under a broken daemon must not reach the test runner.
  (void)::setpgid(0, 0);
  // Whatever the test runner ignores (a background job ignores SIGINT), the
  // programs of a case start with default dispositions.
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) (void)::sigaction(sig, &default_action, nullptr);
  int null_fd = ::open("/dev/null", O_RDONLY);
  if (null_fd < 0 || ::chdir(cwd.c_str()) != 0 || ::dup2(null_fd, 0) < 0 || ::dup2(out_fd, 1) < 0 ||
      ::dup2(err_fd, 2) < 0)
    ::_exit(126);
  ::execvpe(args[0], args.data(), envp.data());
  ::_exit(127);
}

// Runs a command to its end (or kills it at the deadline), capturing its
// standard output; standard error goes to err_fd, or to the output when -1.
command_result run_command(const std::vector<std::string>& argv,
                           const std::vector<std::string>& env, const std::string& cwd,
                           double seconds, int err_fd) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return {"", "pipe failed"};
  pid_t pid = spawn(argv, env, cwd, pipe_fds[1], err_fd < 0 ? pipe_fds[1] : err_fd);
  ::close(pipe_fds[1]);
  command_result result;
  auto deadline = deadline_after(seconds);
  int status = 0;
  bool ended = false;
  for (;;) {
    // Programs it started may keep the pipe open: stop at its end, not at EOF.
    ended = ended || ::waitpid(pid, &status, WNOHANG) == pid;
    pollfd readable{pipe_fds[0], POLLIN, 0};
    char buffer[4096];
    ssize_t got =
        ::poll(&readable, 1, ended ? 0 : 20) > 0 ? ::read(pipe_fds[0], buffer, sizeof buffer) : 0;
    if (got > 0) result.out.append(buffer, static_cast<size_t>(got));
    if (got <= 0 && ended) break;
    if (!ended && steady::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      ::close(pipe_fds[0]);
      return {result.out, "timeout"};
    }
  }
  ::close(pipe_fds[0]);
  result.status = describe(status);
  return result;
}

// Whether this machine lets us create the namespaces; probed once per process.
bool isolation_available(std::string* why) {
  static std::optional<command_result> probe;
  if (!probe)
    probe = run_command(
        {"unshare", "--mount", "--pid", "--fork", "--kill-child", "--mount-proc", "true"},
        case_environment(1), "/", 20, -1);
  *why = "unshare refused (" + probe->status + "): " + probe->out;
  return probe->status == "exit 0";
}

// A setting that the environment may override: cross builds run a foreign
// daemon under an emulator, with native support programs.
std::string setting(const char* name, const char* built_in) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : built_in;
}

std::string daemon_path() { return setting("E2E_DAEMON", E2E_DAEMON); }
// May name a directory per library ABI through the loader's "$LIB", so that
// an emulated daemon and the native programs it runs each load their own.
std::string time_shim_path() { return setting("E2E_TIME_SHIM", E2E_TIME_SHIM); }

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> result;
  for (std::string word; in >> word;) result.push_back(word);
  return result;
}

std::string wrapper_path() {
  const std::vector<std::string> wrapper = words(setting("E2E_WRAPPER", ""));
  return wrapper.empty() ? std::string() : wrapper[0];
}

// The directories the namespace must still show under its private /tmp (a
// checkout or build tree may lie there): the cases' trees and every program
// that the case runs.
std::string kept_directories() {
  std::string kept;
  for (const std::string& path :
       {std::string(E2E_SCRATCH_ROOT), daemon_path(), std::string(E2E_FAKE_PLUGIN),
        time_shim_path().substr(0, time_shim_path().find("$LIB")), wrapper_path()}) {
    if (path.empty()) continue;
    std::error_code error;
    fs::path directory =
        fs::is_directory(path, error) ? fs::path(path) : fs::path(path).parent_path();
    directory = fs::canonical(directory, error);
    if (error) continue;
    if (!kept.empty()) kept += ':';
    kept += directory.string();
  }
  return kept;
}

int first_child(pid_t pid) {
  std::string id = std::to_string(pid);
  std::istringstream children(read_text_file("/proc/" + id + "/task/" + id + "/children"));
  int child = -1;
  children >> child;
  return child;
}

void write_text_file(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

}  // namespace

void e2e_case::SetUp() {
  std::string why;
  if (!isolation_available(&why)) {
    if (std::getenv("CI") != nullptr) FAIL() << why;
    GTEST_SKIP() << why;
  }
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(test->test_suite_name()) + "." + test->name();
  std::replace(name.begin(), name.end(), '/', '_');
  fs::create_directories(E2E_SCRATCH_ROOT);
  // The supervisor reports its directory as the system resolves it.
  case_dir_ = (fs::canonical(E2E_SCRATCH_ROOT) / name).string();
  fs::remove_all(case_dir_);
  for (const char* dir : {"sup/log", "sup/script", "data"})
    fs::create_directories(case_dir_ + "/" + dir);
  fs::create_symlink(daemon_path(), sup_dir() + "/sup");
}

e2e_case::~e2e_case() {
  // Killing the namespace's init makes the kernel kill everything in it.
  if (unshare_pid_ <= 0) return;
  if (init_pid_ > 0) ::kill(init_pid_, SIGKILL);
  ::kill(unshare_pid_, SIGKILL);
  ::waitpid(unshare_pid_, nullptr, 0);
}

void e2e_case::config(const std::string& text) { write_file("config", text); }

void e2e_case::program(const std::string& name) {
  fs::copy_file(E2E_FAKE_PLUGIN, sup_dir() + "/" + name, fs::copy_options::overwrite_existing);
}

void e2e_case::data_program(const std::string& name) {
  fs::copy_file(E2E_FAKE_PLUGIN, data_dir() + "/" + name, fs::copy_options::overwrite_existing);
}

void e2e_case::example_program(const std::string& name) {
  fs::copy_file(E2E_EXAMPLE_PLUGIN, sup_dir() + "/" + name, fs::copy_options::overwrite_existing);
}

void e2e_case::script(const std::string& name, const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  write_file("script/" + name, text);
}

void e2e_case::write_file(const std::string& rel_path, const std::string& content) {
  write_text_file(fs::path(sup_dir()) / rel_path, content);
}

std::string e2e_case::read_file(const std::string& rel_path) const {
  return read_text_file(sup_dir() + "/" + rel_path);
}

bool e2e_case::start(const start_options& options) {
  std::vector<std::string> argv = {
      "unshare",      "--mount",      "--pid",     "--fork",
      "--kill-child", "--mount-proc", E2E_NS_INIT, case_dir_ + "/status"};
  // E2E_WRAPPER (e.g. "<build>/tests/support/old_kernel 326") runs the daemon
  // through a launcher, which takes the path, argv[0] and the arguments.
  const std::vector<std::string> wrapper = words(setting("E2E_WRAPPER", ""));
  if (!wrapper.empty()) {
    argv.push_back(wrapper[0]);
    argv.insert(argv.end(), wrapper.begin(), wrapper.end());
  }
  // E2E_EMULATOR (e.g. "/usr/bin/qemu-arm -L /") runs a foreign daemon; its
  // "-0" keeps the argv[0] that decides the daemon's directory and run file.
  const std::vector<std::string> emulator = words(setting("E2E_EMULATOR", ""));
  if (options.exec_path.empty() && !emulator.empty()) {
    argv.push_back(emulator[0]);  // the path ns_init executes, then its argv
    argv.insert(argv.end(), emulator.begin(), emulator.end());
    argv.insert(argv.end(), {"-0", options.argv0, sup_dir() + "/sup"});
  } else {
    argv.insert(argv.end(), {options.exec_path.empty() ? sup_dir() + "/sup" : options.exec_path,
                             options.argv0});
  }
  argv.insert(argv.end(), options.args.begin(), options.args.end());
  std::vector<std::string> env = case_environment(options.time_scale);
  env.push_back("SUP_PRELOAD=" + time_shim_path());
  env.push_back("NS_INIT_KEEP=" + kept_directories());
  // E2E_SHELL stands in for /bin/sh in the namespace (system() runs that
  // path, whatever PATH says).
  std::string setup = options.setup;
  const std::string shell = setting("E2E_SHELL", "");
  if (!shell.empty())
    setup = "mount --bind '" + shell + "' /bin/sh" + (setup.empty() ? "" : " && " + setup);
  if (!setup.empty()) env.push_back("NS_INIT_SETUP=" + setup);
  for (const std::string& item : options.env) {  // in place of an inherited one
    const std::string name = item.substr(0, item.find('=') + 1);
    if (!name.empty())
      std::erase_if(env, [&](const std::string& old) { return old.rfind(name, 0) == 0; });
    env.push_back(item);
  }

  int out_fd =
      ::open((case_dir_ + "/stdout.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (out_fd < 0) {
    ADD_FAILURE() << "cannot create " << case_dir_ << "/stdout.txt";
    return false;
  }
  unshare_pid_ = spawn(argv, env, options.cwd.empty() ? sup_dir() : options.cwd, out_fd, out_fd);
  ::close(out_fd);
  int status = 0;
  auto up = [&] {
    if (::waitpid(unshare_pid_, &status, WNOHANG) == unshare_pid_) {
      unshare_pid_ = -1;  // reaped: its pid may be reused, never signal it again
      return true;
    }
    init_pid_ = first_child(unshare_pid_);
    // ns_init writes the status file once /tmp is private and the supervisor forked.
    return init_pid_ > 0 && path_exists(case_dir_ + "/status");
  };
  if (wait_until(up, 20) && unshare_pid_ > 0) return true;
  ADD_FAILURE() << "the case's namespace did not come up ("
                << (unshare_pid_ > 0 ? "timeout" : describe(status)) << "):\n"
                << stdout_text();
  return false;
}

void e2e_case::signal_supervisor(int sig) {
  if (init_pid_ > 0) ::kill(init_pid_, sig);
}

std::optional<std::string> e2e_case::exit_status(double seconds) {
  std::string path = case_dir_ + "/status";
  auto ended = [&] {
    std::string text = read_text_file(path);
    return !text.empty() && text != "running";
  };
  if (!wait_until(ended, seconds)) return std::nullopt;
  return read_text_file(path);
}

command_result e2e_case::run_in_namespace(const std::string& argv0,
                                          const std::vector<std::string>& args,
                                          const std::string& cwd, double seconds) {
  // The directory is entered inside the namespace: nsenter's --wd would keep
  // one opened outside it, which musl's getcwd() reports as unreachable.
  std::vector<std::string> argv = {
      "nsenter", "--target", std::to_string(init_pid_),  "--mount", "--pid",
      "/bin/sh", "-c",       "cd \"$0\" && exec \"$@\"", cwd,       argv0};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> env = case_environment(100);
  env.push_back("LD_PRELOAD=" + time_shim_path());
  int err_fd =
      ::open((case_dir_ + "/stdout.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  command_result result = run_command(argv, env, "/", seconds, err_fd);
  ::close(err_fd);
  return result;
}

std::string e2e_case::stdout_text() const { return read_text_file(case_dir_ + "/stdout.txt"); }

std::string e2e_case::ns_path(const std::string& path) const {
  if (init_pid_ <= 0) return case_dir_ + "/no-namespace" + path;
  return "/proc/" + std::to_string(init_pid_) + "/root" + path;
}

std::string e2e_case::run_file(const std::string& name) const {
  return read_text_file(uci_path(name + ".run"));
}

std::vector<std::string> e2e_case::starts(const std::string& name) const {
  return split_lines(read_text_file(sup_dir() + "/log/" + name + ".starts"));
}

std::vector<std::string> e2e_case::events(const std::string& name) const {
  return split_lines(read_text_file(sup_dir() + "/log/" + name + ".events"));
}

bool wait_until(const std::function<bool()>& predicate, double seconds) {
  auto deadline = deadline_after(seconds);
  for (;;) {
    if (predicate()) return true;
    if (steady::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string normalise(const std::string& text) {
  static const std::regex stamp(
      "(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
      "[ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}");
  static const std::regex pid("pid\\([0-9]+\\)");
  return std::regex_replace(std::regex_replace(text, stamp, "<time>"), pid, "pid(<pid>)");
}

std::string read_text_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool path_exists(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}
