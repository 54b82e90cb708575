// A system call that a signal interrupted is simply made again.
#pragma once

#include <cerrno>

// Calls `call` with `args` until it does not fail with EINTR; its last result.
template <class Call, class... Args>
[[gnu::always_inline]] inline auto retry_on_eintr(Call call, Args... args) {
  decltype(call(args...)) result;
  do {
    result = call(args...);
  } while (result < 0 && errno == EINTR);
  return result;
}
