#include "util/process_setup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include "util/output.h"

namespace {

// Written once at start-up, before any thread or child exists.
bool pipes_were_ignored = false;

}  // namespace

void keep_standard_descriptors_open() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0) continue;
    // open() takes the lowest free number, which is this one.
    const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) (void)::close(opened);
  }
}

void prepare_standard_output() {
  struct stat shared {};
  if (::fstat(STDOUT_FILENO, &shared) != 0) return;  // poll first, then write
  if (S_ISREG(shared.st_mode)) {
    route_standard_output(STDOUT_FILENO, output_route::plain);
    return;
  }
  if (S_ISSOCK(shared.st_mode)) {
    route_standard_output(STDOUT_FILENO, output_route::socket);
    return;
  }
  if (!S_ISFIFO(shared.st_mode) && !S_ISCHR(shared.st_mode)) return;
  // Reopening through /proc gives the same pipe or device under a new open
  // file description, whose O_NONBLOCK nobody else sees. Without /proc, or
  // without a reader left, poll first.
  const int own = ::open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (own < 0) return;
  struct stat reopened {};
  if (::fstat(own, &reopened) != 0 || reopened.st_dev != shared.st_dev ||
      reopened.st_ino != shared.st_ino || reopened.st_rdev != shared.st_rdev) {
    (void)::close(own);
    return;
  }
  // Kept for the life of the process, like standard output itself.
  route_standard_output(own, output_route::private_nonblocking);
}

void ignore_broken_pipes() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction inherited {};
  if (::sigaction(SIGPIPE, &ignore, &inherited) == 0)
    pipes_were_ignored = inherited.sa_handler == SIG_IGN;
}

void restore_broken_pipes() {
  struct sigaction restored {};
  restored.sa_handler = pipes_were_ignored ? SIG_IGN : SIG_DFL;
  (void)::sigaction(SIGPIPE, &restored, nullptr);
}
