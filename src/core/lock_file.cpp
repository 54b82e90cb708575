#include "core/lock_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "util/handles.h"

namespace {

// Another supervisor replacing the same file at the same moment may remove
// the one we just made: a few rounds settle it.
constexpr int open_rounds = 4;

const char* owner_fault(const struct stat& status) {
  if (!S_ISREG(status.st_mode)) return "it is not a regular file";
  if (status.st_uid != ::geteuid()) return "it is owned by another user";
  // A second name may be a stranger's link to it, made while it was open to them.
  if (status.st_nlink != 1) return "it has another name";
  return nullptr;
}

}  // namespace

const char* lock_file_fault(const struct stat& status) {
  if (const char* fault = owner_fault(status)) return fault;
  return (status.st_mode & 077) != 0 ? "others could open it" : nullptr;
}

const char* run_file_fault(const struct stat& status) {
  if (const char* fault = owner_fault(status)) return fault;
  return (status.st_mode & 022) != 0 ? "group or others could write to it" : nullptr;
}

int open_own_file(const char* path, mode_t mode, const char* (*fault)(const struct stat&),
                  const char** replaced) {
  *replaced = nullptr;
  for (int round = 0; round < open_rounds; ++round) {
    struct stat named {};
    const char* why = ::lstat(path, &named) == 0 ? fault(named) : nullptr;
    if (why != nullptr) {
      // Removed by name: a link goes, never what it points at; a directory
      // or a mount point stays and fails below.
      if (::unlink(path) != 0 && errno != ENOENT) {
        *replaced = why;
        errno = EINVAL;
        return -1;
      }
      *replaced = why;
    }
    // O_NONBLOCK: a FIFO slipped in between must not hold up the open.
    unique_fd fd(::open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode));
    if (!fd) return -1;
    struct stat opened {};
    if (::fstat(fd.get(), &opened) != 0) return -1;
    if (fault(opened) != nullptr) continue;  // changed meanwhile: look again
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return -1;
    return fd.release();
  }
  errno = EAGAIN;
  return -1;
}
