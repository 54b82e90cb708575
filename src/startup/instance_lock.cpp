#include "startup/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "util/handles.h"
#include "util/output.h"

int open_locked_file(const char* path, const char* text, int length) {
  if (path == nullptr) {
    say("NULL file name\n");
    return -1;
  }
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
  const int flags = ::fcntl(fd.get(), F_GETFD);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFD, flags | FD_CLOEXEC) != 0) {
    say("FD_CLOEXEC failed for %s\n", path);
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
  text_buffer directory;
  if (::getcwd(directory.data(), directory.size()) == nullptr) {
    say("failed to get current dir\n");
    return -1;
  }
  // The descriptor is kept open, and the lock held, for the life of the process.
  state->run_fd = open_locked_file(state->run_file_path.data(), directory.data(),
                                   static_cast<int>(std::strlen(directory.data())));
  if (state->run_fd < 0) {
    say("process(%s) already run\n", program_path);
    return -1;
  }
  (void)!::write(state->run_fd, "\n", 1);
  return 0;
}
