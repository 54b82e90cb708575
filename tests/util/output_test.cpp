#include "util/output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <thread>

namespace {

TEST(output_test, poll_first_drops_a_line_a_full_pipe_cannot_take) {
  std::array<int, 2> pipe_fds{};
  ASSERT_EQ(::pipe2(pipe_fds.data(), O_CLOEXEC | O_NONBLOCK), 0);
  std::array<char, 4096> filler{};
  while (::write(pipe_fds[1], filler.data(), filler.size()) > 0) {
  }
  // Blocking again: only the route may keep `say` from waiting.
  ASSERT_EQ(::fcntl(pipe_fds[1], F_SETFL, 0), 0);
  route_standard_output(pipe_fds[1], output_route::poll_first);
  std::atomic<bool> returned{false};
  std::thread speaker([&] {
    say("dropped\n");
    returned = true;
  });
  for (int round = 0; round < 1500 && !returned; ++round) ::usleep(20000);  // 30 s at most
  const bool at_once = returned;
  // A speaker that waits is let go by reading.
  while (!returned) (void)!::read(pipe_fds[0], filler.data(), filler.size());
  speaker.join();
  route_standard_output(STDOUT_FILENO, output_route::poll_first);
  EXPECT_TRUE(at_once);
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);
}

}  // namespace
