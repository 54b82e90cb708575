#include "core/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/lock_file.h"
#include "core/run_file.h"
#include "core/uci_directory.h"
#include "util/errno_text.h"
#include "util/format.h"
#include "util/handles.h"
#include "util/output.h"

namespace {

using path_buffer = std::array<char, 4112>;

// The lock lives beside the run file, on a 0600 file of ours: the run file
// stays readable for plugsup-status, and anyone may flock what they can read.
bool compose_lock_path(const char* run_file_path, path_buffer& lock_path) {
  return format_into(lock_path, "%s%s", run_file_path, instance_lock_suffix);
}

// Opens `path` with open_own_file, saying what it replaced or why it failed.
int open_reporting(const char* path, mode_t mode, const char* (*fault)(const struct stat&)) {
  const char* replaced = nullptr;
  const int fd = open_own_file(path, mode, fault, &replaced);
  if (fd < 0 && replaced != nullptr) {
    say("failed to replace %s: %s\n", path, replaced);
  } else if (fd < 0) {
    errno_text_buffer unknown;
    say("failed to open %s: %s\n", path, errno_text(errno, unknown));
  } else if (replaced != nullptr) {
    say("replaced %s: %s\n", path, replaced);
  }
  return fd;
}

// The instance lock's descriptor, or -1 after printing; a real second
// supervisor shows as "already run".
int take_lock_file(const char* program_path, const char* run_file_path) {
  path_buffer lock_path;
  if (!compose_lock_path(run_file_path, lock_path)) {
    say("failed to open %s: name too long\n", run_file_path);
    return -1;
  }
  unique_fd lock(open_reporting(lock_path.data(), 0600, lock_file_fault));
  if (!lock) return -1;
  if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    say("already in use for %s\n", run_file_path);
    say("process(%s) already run\n", program_path);
    return -1;
  }
  return lock.release();
}

// The run file with its first line, under the instance lock: the descriptor,
// or -1 after printing.
int open_run_file_under_lock(const char* path) {
  text_buffer directory;
  if (::getcwd(directory.data(), directory.size()) == nullptr) {
    say("failed to get current dir\n");
    return -1;
  }
  const int fd =
      open_own_run_file(path, directory.data(), static_cast<int>(std::strlen(directory.data())));
  if (fd < 0) return -1;
  (void)!::write(fd, "\n", 1);
  return fd;
}

file_identity identify(int fd) {
  struct stat held {};
  if (::fstat(fd, &held) != 0) return {};
  return {held.st_dev, held.st_ino};
}

// True when `path` still names the file we hold. Held open, its inode number
// cannot go to another file meanwhile, and a file that has this name is linked.
bool still_named(const file_identity& held, const char* path, off_t* size) {
  struct stat named {};
  if (::lstat(path, &named) != 0 || named.st_dev != held.device || named.st_ino != held.inode)
    return false;
  if (size != nullptr) *size = named.st_size;
  return true;
}

}  // namespace

int open_own_run_file(const char* path, const char* text, int length) {
  // A run file that is not ours, that others may write, or that is no
  // regular file is replaced: a planter would forge its lines, or stall the
  // appends of the supervision loop with a FIFO or a huge sparse file.
  unique_fd fd(open_reporting(path, 0644, run_file_fault));
  if (!fd) return -1;
  // Emptied only under the instance lock: a loser leaves the winner's file alone.
  (void)!::ftruncate(fd.get(), 0);
  if (length > 0) (void)!::write(fd.get(), text, static_cast<std::size_t>(length));
  return fd.release();
}

int take_instance_lock(const char* program_path, supervisor_state* state) {
  state->program_path = program_path;
  // Both descriptors are kept open, and the lock held, for the life of the process.
  state->lock_fd = take_lock_file(program_path, state->run_file_path.data());
  if (state->lock_fd < 0) return -1;
  state->lock_file = identify(state->lock_fd);
  state->run_fd = open_run_file_under_lock(state->run_file_path.data());
  if (state->run_fd < 0) return -1;
  state->run_file = identify(state->run_fd);
  return 0;
}

int keep_instance_lock(supervisor_state* state, off_t* run_file_size) {
  const char* path = state->run_file_path.data();
  if (run_file_size != nullptr) *run_file_size = -1;
  path_buffer lock_path;
  const bool lock_named = compose_lock_path(path, lock_path) &&
                          still_named(state->lock_file, lock_path.data(), nullptr);
  if (lock_named && still_named(state->run_file, path, run_file_size)) return 0;
  if (prepare_uci_directory(uci_directory) != 0) return -1;
  if (!lock_named) {
    // Removed with /tmp/.uci/: whoever locks a new one first supervises.
    const int lock = take_lock_file(state->program_path, path);
    if (lock < 0) return -1;
    (void)::dup3(lock, state->lock_fd, O_CLOEXEC);
    (void)::close(lock);
    state->lock_file = identify(state->lock_fd);
  }
  const int fd = open_run_file_under_lock(path);
  if (fd < 0) return -1;
  replace_run_file(state->run_fd, fd);
  state->run_file = identify(state->run_fd);
  return 0;
}
