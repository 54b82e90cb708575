#include "core/data_lock.h"

#include <sys/file.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <ctime>

#include "core/lock_file.h"
#include "core/state.h"
#include "util/errno_text.h"
#include "util/format.h"
#include "util/handles.h"
#include "util/output.h"

namespace {

constexpr long poll_interval_ms = 100;

void say_failure(int error) {
  errno_text_buffer unknown;
  say("failed to lock %s: %s\n", data_directory, errno_text(error, unknown));
}

}  // namespace

int lock_data_directory_of(int data) {
  struct stat directory {};
  std::array<char, 128> path{};
  if (::fstat(data, &directory) != 0 ||
      !format_into(path, "%s.data-%llx-%llu.lock", uci_directory,
                   static_cast<unsigned long long>(directory.st_dev),
                   static_cast<unsigned long long>(directory.st_ino))) {
    say_failure(errno);
    return -1;
  }
  const char* replaced = nullptr;
  unique_fd lock(open_own_file(path.data(), 0600, lock_file_fault, &replaced));
  if (replaced != nullptr) say("replaced %s: %s\n", path.data(), replaced);
  if (!lock) {
    say_failure(errno);
    return -1;
  }
  // Polled, not a blocking flock: the wait must end even when the holder's
  // installation never does.
  for (long waited_ms = 0;; waited_ms += poll_interval_ms) {
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) == 0) return lock.release();
    if (errno != EWOULDBLOCK && errno != EINTR) {
      say_failure(errno);
      return -1;
    }
    if (waited_ms == 0)
      say("waiting up to %d s for another supervisor's lock of %s\n", data_lock_wait_s,
          data_directory);
    if (waited_ms >= data_lock_wait_s * 1000L) {
      say("failed to lock %s: another supervisor held it for %d s\n", data_directory,
          data_lock_wait_s);
      return -1;
    }
    const timespec interval{0, poll_interval_ms * 1'000'000L};
    (void)::nanosleep(&interval, nullptr);
  }
}
