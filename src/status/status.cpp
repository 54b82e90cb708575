#include "status/status.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/instance_lock.h"
#include "core/state.h"
#include "status/lock_holder.h"
#include "status/proc_reader.h"
#include "status/run_file_reader.h"
#include "status/status_report.h"
#include "status/supervisor_status.h"
#include "util/format.h"
#include "util/handles.h"

namespace {

constexpr int none_runs_status = 2;

enum class target_kind { all, name, directory };

struct selection {
  target_kind kind;
  const char* target;
  std::array<char, 4096> directory;  // resolved, for target_kind::directory
};

struct dir_closer {
  void operator()(DIR* d) const noexcept { (void)::closedir(d); }
};
using unique_dir = std::unique_ptr<DIR, dir_closer>;

// Large, and zero-filled; from calloc, as the C library alone (musl builds
// link no C++ library) provides it. None when memory is exhausted.
std::unique_ptr<supervisor_status, heap_deleter> new_status(std::FILE* err) {
  std::unique_ptr<supervisor_status, heap_deleter> status(
      static_cast<supervisor_status*>(std::calloc(1, sizeof(supervisor_status))));
  if (!status) (void)std::fprintf(err, "plugsup-status: out of memory\n");
  return status;
}

selection select_target(const char* target, int uci_fd) {
  selection chosen{target == nullptr ? target_kind::all : target_kind::name, target, {}};
  if (target == nullptr) return chosen;
  std::array<char, 512> run_name{};
  struct stat file {};
  const bool has_run_file = format_into(run_name, "%s.run", target) &&
                            ::fstatat(uci_fd, run_name.data(), &file, AT_SYMLINK_NOFOLLOW) == 0;
  const bool path_like = std::strchr(target, '/') != nullptr || std::strcmp(target, ".") == 0 ||
                         std::strcmp(target, "..") == 0;
  if (path_like || (!has_run_file && ::stat(target, &file) == 0 && S_ISDIR(file.st_mode))) {
    chosen.kind = target_kind::directory;
    if (::realpath(target, chosen.directory.data()) == nullptr)
      (void)format_into(chosen.directory, "%s", target);
  }
  return chosen;
}

constexpr int hidden_status = 4;  // 3 is wrong usage

// The kernel's name of the process is the program name (cut to 15 bytes), or
// one of its first arguments names the program (an emulator runs it).
bool runs_program_named(pid_t pid, const process_identity& identity, const char* name) {
  if (std::strncmp(identity.command.data(), name, identity.command.size() - 1) == 0) return true;
  const auto text = std::unique_ptr<command_text, heap_deleter>(
      static_cast<command_text*>(std::calloc(1, sizeof(command_text))));
  if (!text || !read_command_text(pid, text.get())) return false;
  for (int index = 0; index < 4; ++index) {
    const char* argument = argument_at(*text, index);
    if (argument == nullptr) return false;
    const char* slash = std::strrchr(argument, '/');
    if (std::strcmp(slash != nullptr ? slash + 1 : argument, name) == 0) return true;
  }
  return false;
}

// The supervisor holding the instance lock of `file_name` ("<name>.run"): the
// lock lives on "<name>.run.lock", a file only its owner can open. Trusted
// only when that file is a 0600 regular file of root's or ours, and its
// holder runs as that owner (or root) under the program name. The pid, 0 for
// none (said why when the lock is held by something else), or -1 after
// printing.
pid_t find_supervisor(int uci_fd, const char* file_name, const char* name, std::FILE* err) {
  std::array<char, 512> lock_name{};
  struct stat lock {};
  if (!format_into(lock_name, "%s%s", file_name, instance_lock_suffix) ||
      ::fstatat(uci_fd, lock_name.data(), &lock, AT_SYMLINK_NOFOLLOW) != 0)
    return 0;
  if (!S_ISREG(lock.st_mode) || (lock.st_mode & 077) != 0 ||
      (lock.st_uid != 0 && lock.st_uid != ::geteuid())) {
    (void)std::fprintf(err, "plugsup-status: %s%s is no lock of a supervisor; not trusted\n",
                       uci_directory, lock_name.data());
    return 0;
  }
  const pid_t pid = find_lock_holder(lock.st_dev, lock.st_ino);
  if (pid < 0)
    (void)std::fprintf(err, "plugsup-status: cannot read /proc/locks: %s\n", std::strerror(errno));
  if (pid <= 0) return pid;
  process_identity identity{};
  if (!read_process_identity(pid, &identity)) return pid;  // hidden or gone: the caller looks
  const bool owner = identity.uid == 0 || identity.uid == lock.st_uid;
  if (owner && runs_program_named(pid, identity, name)) return pid;
  (void)std::fprintf(err,
                     "plugsup-status: %s%s is held by pid %d (uid %u), which is no supervisor "
                     "%s; not trusted\n",
                     uci_directory, lock_name.data(), static_cast<int>(pid),
                     static_cast<unsigned>(identity.uid), name);
  return 0;
}

// True when the lock holder `pid` still holds the lock of `file_name` but
// /proc shows nothing of it to this user (hidepid).
bool hidden_by_proc(int uci_fd, const char* file_name, pid_t pid) {
  std::array<char, 512> lock_name{};
  struct stat lock {};
  process_stat stat{};
  if (read_process_stat(pid, &stat) || (errno != ENOENT && errno != EACCES && errno != ESRCH))
    return false;
  return format_into(lock_name, "%s%s", file_name, instance_lock_suffix) &&
         ::fstatat(uci_fd, lock_name.data(), &lock, AT_SYMLINK_NOFOLLOW) == 0 &&
         find_lock_holder(lock.st_dev, lock.st_ino) == pid;
}

void say_hidden(const char* name, pid_t pid, std::FILE* err) {
  (void)std::fprintf(err,
                     "plugsup-status: supervisor %s (pid %d) runs, but /proc hides it and its "
                     "programs from this user (hidepid); ask as root\n",
                     name, static_cast<int>(pid));
}

// Fills the status's name, pid and recorded directory from the run file
// `file_name`. The holder's pid (0: none), or -1 after printing why the file
// could not be read.
pid_t inspect_run_file(int uci_fd, const char* file_name, supervisor_status* status,
                       unique_fd* run_fd, std::FILE* err) {
  struct stat file {};
  run_fd->reset(open_run_file(uci_fd, file_name, &file));
  if (!*run_fd) {
    if (errno == ENOENT) return 0;
    (void)std::fprintf(err, "plugsup-status: %s%s: %s; not read\n", uci_directory, file_name,
                       errno == ELOOP    ? "a symbolic link"
                       : errno == EINVAL ? "not a regular file"
                                         : std::strerror(errno));
    return -1;
  }
  (void)format_into(status->name, "%.*s", static_cast<int>(std::strlen(file_name) - 4), file_name);
  read_recorded_directory(run_fd->get(), status->recorded_directory);
  status->pid = find_supervisor(uci_fd, file_name, status->name.data(), err);
  return status->pid;
}

bool runs_from(const supervisor_status& status, const selection& chosen) {
  if (std::strcmp(status.recorded_directory.data(), chosen.directory.data()) == 0) return true;
  std::array<char, 4096> directory{};
  return read_process_directory(status.pid, directory) &&
         std::strcmp(directory.data(), chosen.directory.data()) == 0;
}

void print_json(std::FILE* out, cJSON* document) {
  const unique_json owner(document);
  const unique_text text(owner ? cJSON_Print(owner.get()) : nullptr);
  if (text) (void)std::fprintf(out, "%s\n", text.get());
}

// What the run is after looking at the run files.
struct outcome {
  int found;
  int status;
  unique_json list;  // the JSON array when every supervisor is shown
  bool hidden;       // a supervisor runs that /proc hides from this user
};

void show(const supervisor_status& status, bool json, std::FILE* out, outcome* result) {
  if (json && result->list)
    (void)cJSON_AddItemToArray(result->list.get(), status_json(status));
  else if (json)
    print_json(out, status_json(status));
  else
    print_status_table(out, status);
  const int exit_status = supervisor_exit_status(status);
  if (exit_status > result->status) result->status = exit_status;
  ++result->found;
}

void show_named(int uci_fd, const selection& chosen, bool json, std::FILE* out, std::FILE* err,
                outcome* result) {
  const auto status = new_status(err);
  if (!status) return;
  std::array<char, 512> file_name{};
  unique_fd run_fd;
  const bool fits = format_into(file_name, "%s.run", chosen.target);
  const pid_t holder =
      fits ? inspect_run_file(uci_fd, file_name.data(), status.get(), &run_fd, err) : -1;
  if (holder > 0 && observe_supervisor(status.get(), run_fd.get(), err))
    return show(*status, json, out, result);
  if (holder > 0 && hidden_by_proc(uci_fd, file_name.data(), holder)) {
    say_hidden(chosen.target, holder, err);
    result->hidden = true;
  } else if (holder > 0)
    (void)std::fprintf(err, "plugsup-status: supervisor %s (pid %d) ended while it was read\n",
                       chosen.target, static_cast<int>(holder));
  else if (holder == 0 && run_fd)
    (void)std::fprintf(err,
                       "plugsup-status: no supervisor %s runs: %s%s is held by no process "
                       "(left by one that ran from %s)\n",
                       chosen.target, uci_directory, file_name.data(),
                       status->recorded_directory.data());
  else if (holder == 0)
    (void)std::fprintf(err, "plugsup-status: no supervisor %s runs: there is no %s%s\n",
                       chosen.target, uci_directory, file_name.data());
}

void show_every(int uci_fd, const selection& chosen, bool json, std::FILE* out, std::FILE* err,
                outcome* result) {
  const unique_dir listing(::fdopendir(::dup(uci_fd)));
  if (!listing) return;
  while (const dirent* entry = ::readdir(listing.get())) {
    const std::size_t length = std::strlen(entry->d_name);
    if (length <= 4 || std::strcmp(entry->d_name + length - 4, ".run") != 0) continue;
    const auto status = new_status(err);
    if (!status) return;
    unique_fd run_fd;
    if (inspect_run_file(uci_fd, entry->d_name, status.get(), &run_fd, err) <= 0) continue;
    if (chosen.kind == target_kind::directory && !runs_from(*status, chosen)) continue;
    if (chosen.kind == target_kind::directory && result->found > 0) {
      (void)std::fprintf(err, "plugsup-status: supervisor %s (pid %d) runs from %s too\n",
                         status->name.data(), static_cast<int>(status->pid),
                         chosen.directory.data());
      continue;
    }
    if (!json && result->found > 0) (void)std::fputc('\n', out);
    if (observe_supervisor(status.get(), run_fd.get(), err)) {
      show(*status, json, out, result);
    } else if (hidden_by_proc(uci_fd, entry->d_name, status->pid)) {
      say_hidden(status->name.data(), status->pid, err);
      result->hidden = true;
    }
  }
}

}  // namespace

int run_status(const char* target, bool json, std::FILE* out, std::FILE* err) {
  outcome result{0, 0, unique_json(json && target == nullptr ? cJSON_CreateArray() : nullptr),
                 false};
  // The run files are read only inside the real /tmp/.uci/, never through a link.
  const unique_fd uci(::open("/tmp/.uci", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!uci)
    (void)std::fprintf(err, "plugsup-status: cannot open %s: %s\n", uci_directory,
                       errno == ELOOP || errno == ENOTDIR ? "not a directory (or a symbolic link)"
                                                          : std::strerror(errno));
  const selection chosen = select_target(target, uci.get());
  if (uci && chosen.kind == target_kind::name)
    show_named(uci.get(), chosen, json, out, err, &result);
  else if (uci)
    show_every(uci.get(), chosen, json, out, err, &result);
  if (result.found > 0 && !result.list) return result.hidden ? hidden_status : result.status;
  if (result.list) print_json(out, result.list.release());
  if (result.found > 0) return result.hidden ? hidden_status : result.status;
  if (result.hidden) {
    if (json && target != nullptr) print_json(out, absent_status_json());
    return hidden_status;
  }
  if (chosen.kind == target_kind::directory)
    (void)std::fprintf(err, "plugsup-status: no supervisor runs from %s\n",
                       chosen.directory.data());
  else if (chosen.kind == target_kind::all)
    (void)std::fputs("plugsup-status: no supervisor runs\n", err);
  if (json && target != nullptr) print_json(out, absent_status_json());
  return none_runs_status;
}
