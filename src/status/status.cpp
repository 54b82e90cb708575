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
  status->pid = find_lock_holder(file.st_dev, file.st_ino);
  if (status->pid < 0)
    (void)std::fprintf(err, "plugsup-status: cannot read /proc/locks: %s\n", std::strerror(errno));
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
  if (holder > 0)
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
    if (observe_supervisor(status.get(), run_fd.get(), err)) show(*status, json, out, result);
  }
}

}  // namespace

int run_status(const char* target, bool json, std::FILE* out, std::FILE* err) {
  outcome result{0, 0, unique_json(json && target == nullptr ? cJSON_CreateArray() : nullptr)};
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
  if (result.found > 0 && !result.list) return result.status;
  if (result.list) print_json(out, result.list.release());
  if (result.found > 0) return result.status;
  if (chosen.kind == target_kind::directory)
    (void)std::fprintf(err, "plugsup-status: no supervisor runs from %s\n",
                       chosen.directory.data());
  else if (chosen.kind == target_kind::all)
    (void)std::fputs("plugsup-status: no supervisor runs\n", err);
  if (json && target != nullptr) print_json(out, absent_status_json());
  return none_runs_status;
}
