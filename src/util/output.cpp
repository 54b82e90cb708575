#include "util/output.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "util/retry.h"

namespace {

// Set before the watchdog thread starts, read-only afterwards.
int output_fd = STDOUT_FILENO;
output_route route = output_route::poll_first;

// Room for the longest message: a 4096-byte path and its words.
using message_buffer = std::array<char, 4096 + 256>;

// One attempt to hand the bytes over, without waiting; -1 when nobody can
// take them now.
ssize_t write_now(const char* bytes, std::size_t length) {
  switch (route) {
    case output_route::socket:
      return ::send(output_fd, bytes, length, MSG_DONTWAIT | MSG_NOSIGNAL);
    case output_route::poll_first: {
      // Without a private description this is the best we can do: another
      // writer to the same pipe may still fill it between poll and write.
      pollfd room{output_fd, POLLOUT, 0};
      if (::poll(&room, 1, 0) != 1 || (room.revents & POLLOUT) == 0) {
        errno = EAGAIN;
        return -1;
      }
      return ::write(output_fd, bytes, length);
    }
    case output_route::private_nonblocking:
    case output_route::plain:
      break;
  }
  return ::write(output_fd, bytes, length);
}

}  // namespace

void route_standard_output(int fd, output_route chosen) {
  output_fd = fd;
  route = chosen;
}

void say(const char* format, ...) {
  message_buffer message;
  va_list args;
  va_start(args, format);
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started just above
  const int length = std::vsnprintf(message.data(), message.size(), format, args);
  va_end(args);
  if (length <= 0) return;
  std::size_t used = static_cast<std::size_t>(length);
  if (used >= message.size()) {
    used = message.size() - 1;
    // A cut line keeps its end, so the next message starts a line of its own.
    const std::size_t format_length = std::strlen(format);
    if (format_length > 0 && format[format_length - 1] == '\n') message[used - 1] = '\n';
  }
  // EAGAIN, EPIPE and the rest: a message nobody can take is dropped.
  (void)retry_on_eintr(write_now, message.data(), used);
}
