#include "util/process_setup.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>

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
