// Messages on standard output. Each one is formatted into a fixed buffer and
// handed over in one write that never waits: a line the reader cannot take at
// once is dropped, so a reader that stops reading never stalls supervision.
// Nothing is buffered, so nothing is duplicated into a forked child.
#pragma once

// How `say` reaches standard output; chosen once at start-up, before any
// thread exists (see prepare_standard_output in process_setup.h).
enum class output_route {
  poll_first,           // poll for room without waiting, then write (the default)
  private_nonblocking,  // our own O_NONBLOCK description of the same pipe or device
  socket,               // send with MSG_DONTWAIT
  plain,                // a regular file: a write never waits for a reader
};

// Makes `say` write to `fd` by `route`. The descriptor is kept for the life
// of the process.
void route_standard_output(int fd, output_route route);

__attribute__((format(printf, 1, 2))) void say(const char* format, ...);
