// A system call that a signal interrupted is simply made again.
#pragma once

#include <cerrno>

// Calls `call` until it does not fail with EINTR; its last result.
template <class Call>
auto retry_on_eintr(Call call) {
  auto result = call();
  while (result < 0 && errno == EINTR) result = call();
  return result;
}
