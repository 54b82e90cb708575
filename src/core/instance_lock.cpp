#include "core/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "core/run_file.h"
#include "core/uci_directory.h"
#include "util/handles.h"
#include "util/output.h"

namespace {

// The run file with its first line, under the lock: the descriptor, or -1
// after printing.
int lock_new_run_file(const char* program_path, const char* path) {
  text_buffer directory;
  if (::getcwd(directory.data(), directory.size()) == nullptr) {
    say("failed to get current dir\n");
    return -1;
  }
  const int fd =
      open_locked_file(path, directory.data(), static_cast<int>(std::strlen(directory.data())));
  if (fd < 0) {
    say("process(%s) already run\n", program_path);
    return -1;
  }
  (void)!::write(fd, "\n", 1);
  return fd;
}

}  // namespace

int open_locked_file(const char* path, const char* text, int length) {
  // O_NOFOLLOW: a link planted at the run-file path must not let us truncate
  // whatever it points at. O_CLOEXEC: children never inherit the lock.
  // O_NONBLOCK: a FIFO planted there must not hold up the open.
  unique_fd fd(::open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644));
  // Only a regular file: a FIFO, socket or device would swallow or stall the
  // appends of the supervision loop.
  struct stat status {};
  const bool regular = fd && ::fstat(fd.get(), &status) == 0 && S_ISREG(status.st_mode);
  const int status_flags = regular ? ::fcntl(fd.get(), F_GETFL) : -1;
  if (status_flags < 0 || ::fcntl(fd.get(), F_SETFL, status_flags & ~O_NONBLOCK) != 0) {
    say("failed to open %s\n", path);
    return -1;
  }
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    say("already in use for %s\n", path);
    return -1;
  }
  // Emptied only now: a loser of the lock leaves the winner's file alone.
  (void)!::ftruncate(fd.get(), 0);
  if (length > 0) (void)!::write(fd.get(), text, static_cast<std::size_t>(length));
  return fd.release();
}

int take_instance_lock(const char* program_path, supervisor_state* state) {
  state->program_path = program_path;
  // The descriptor is kept open, and the lock held, for the life of the process.
  state->run_fd = lock_new_run_file(program_path, state->run_file_path.data());
  return state->run_fd < 0 ? -1 : 0;
}

int keep_instance_lock(supervisor_state* state) {
  const char* path = state->run_file_path.data();
  struct stat held {};
  struct stat named {};
  if (::fstat(state->run_fd, &held) == 0 && held.st_nlink > 0 && ::lstat(path, &named) == 0 &&
      named.st_dev == held.st_dev && named.st_ino == held.st_ino)
    return 0;
  if (prepare_uci_directory(uci_directory) != 0) return -1;
  const int fd = lock_new_run_file(state->program_path, path);
  if (fd < 0) return -1;
  replace_run_file(state->run_fd, fd);
  return 0;
}
