#include "status/supervisor_status.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "startup/config.h"
#include "status/proc_reader.h"
#include "supervision/command_line.h"
#include "util/format.h"

namespace {

struct dir_closer {
  void operator()(DIR* d) const noexcept { (void)::closedir(d); }
};
using unique_dir = std::unique_ptr<DIR, dir_closer>;

pid_t pid_of_entry(const char* name) {
  char* end = nullptr;
  const long value = std::strtol(name, &end, 10);
  return end != name && *end == '\0' && value > 0 ? static_cast<pid_t>(value) : 0;
}

void take_child(supervisor_status* status, pid_t pid, const process_stat& stat,
                const command_text& text) {
  // A script's command line starts with its interpreter and the interpreter's
  // argument from the "#!" line, then the path it was executed by.
  int plugin_mode = 0;
  int slot = -1;
  int at = 0;
  for (; at <= 2 && slot < 0; ++at) {
    const char* argument = argument_at(text, at);
    if (argument == nullptr) return;
    slot = match_program(*status, argument, &plugin_mode);
  }
  if (slot < 0) return;  // a shell of the daemon's own, or a program of an older config
  program_status& program = status->programs[slot];
  program.pid = pid;
  program.started_s = process_started_s(stat);
  program.plugin_mode = plugin_mode;
  const char* option = argument_at(text, at);
  const char* reason = argument_at(text, at + 1);
  const bool has_reason = option != nullptr && std::strcmp(option, "-r") == 0 && reason != nullptr;
  program.restart_reason = has_reason ? std::atoi(reason) : 0;
}

// A child runs its program when the supervisor is its parent and its command
// line starts with the program's path.
void find_children(supervisor_status* status, std::FILE* err) {
  const unique_dir proc(::opendir("/proc"));
  if (!proc) {
    (void)std::fprintf(err, "plugsup-status: cannot list /proc: %s\n", std::strerror(errno));
    return;
  }
  int hidden = 0;
  while (const dirent* entry = ::readdir(proc.get())) {
    const pid_t pid = pid_of_entry(entry->d_name);
    process_stat stat{};
    if (pid == 0) continue;
    // A process that ended meanwhile is no child of interest.
    if (!read_process_stat(pid, &stat)) {
      if (errno == EACCES) ++hidden;
      continue;
    }
    if (stat.ppid != status->pid) continue;
    command_text text{};
    if (!read_command_text(pid, &text)) {
      if (errno == EACCES) ++hidden;
      continue;
    }
    take_child(status, pid, stat, text);
  }
  if (hidden > 0)
    (void)std::fprintf(err,
                       "plugsup-status: %d processes in /proc could not be read; a program "
                       "shown as not running may run as another user\n",
                       hidden);
}

void read_alive_ages(supervisor_status* status) {
  const long long now = std::time(nullptr);
  for (int i = 0; i < status->config.process_count; ++i) {
    status->programs[i].alive_age_s = -1;
    struct stat file {};
    const char* path = status->config.slots[i].alive_path.data();
    // The watchdog's rule: only a regular file, found through a link, counts.
    if (path[0] != '\0' && ::stat(path, &file) == 0 && S_ISREG(file.st_mode))
      status->programs[i].alive_age_s = now > file.st_mtime ? now - file.st_mtime : 0;
  }
}

void load_programs(supervisor_status* status, std::FILE* err) {
  std::array<char, 8192> path{};
  (void)format_into(path, "%s/config", status->directory.data());
  status->config_loaded = load_config(path.data(), &status->config) == 0 ? 1 : 0;
  if (status->config_loaded == 0) {
    (void)std::fprintf(err,
                       "plugsup-status: %s cannot be read as a configuration: programs "
                       "unknown\n",
                       path.data());
    return;
  }
  // The start time from /proc is whole seconds off a boot time that is itself
  // rounded: allow for both.
  struct stat file {};
  if (::stat(path.data(), &file) == 0 && status->started_s >= 0 &&
      file.st_mtime > status->started_s + 2)
    (void)std::fprintf(err,
                       "plugsup-status: %s changed after the supervisor started, which "
                       "still runs what it read then\n",
                       path.data());
}

}  // namespace

int match_program(const supervisor_status& status, const char* argument0, int* plugin_mode) {
  for (int i = 0; i < status.config.process_count; ++i) {
    if (status.programs[i].pid != 0) continue;
    for (int mode = 0; mode <= 1; ++mode) {
      std::array<char, 8192> path{};
      (void)compose_program_path(path, status.config.slots[i].name.data(), mode);
      if (std::strcmp(path.data(), argument0) != 0) continue;
      *plugin_mode = mode;
      return i;
    }
  }
  return -1;
}

bool observe_supervisor(supervisor_status* status, int run_fd, std::FILE* err) {
  process_stat stat{};
  if (!read_process_stat(status->pid, &stat)) {
    if (errno != ENOENT && errno != ESRCH)
      (void)std::fprintf(err, "plugsup-status: cannot read /proc/%d/stat: %s\n", status->pid,
                         std::strerror(errno));
    return false;
  }
  status->started_s = process_started_s(stat);
  status->threads = stat.threads;
  if (!read_process_directory(status->pid, status->directory)) {
    (void)std::fprintf(err,
                       "plugsup-status: cannot read /proc/%d/cwd: %s; showing the directory "
                       "its run file records\n",
                       status->pid, std::strerror(errno));
    status->directory = status->recorded_directory;
  }
  load_programs(status, err);
  for (program_status& program : status->programs) program = program_status{0, -1, 0, 0, {}, -1};
  find_children(status, err);
  read_alive_ages(status);
  const unique_text lines = read_event_lines(run_fd);
  if (!lines)
    (void)std::fprintf(err, "plugsup-status: cannot read the run file of %s: %s\n",
                       status->name.data(), std::strerror(errno));
  for (int i = 0; i < status->config.process_count; ++i) {
    status->programs[i].endings.endings = 0;
    status->programs[i].endings.last[0] = '\0';
    if (lines)
      tally_endings(lines.get(), status->config.slots[i].name.data(), &status->programs[i].endings);
    if (status->config.slots[i].alive_path[0] != '\0' && status->threads > 1) status->watchdog = 1;
  }
  return true;
}

int supervisor_exit_status(const supervisor_status& status) {
  if (status.config_loaded == 0) return 1;
  for (int i = 0; i < status.config.process_count; ++i)
    if (status.programs[i].pid <= 0) return 1;
  return 0;
}
