#include "util/stack_pages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace {

// Deeper than any call chain of the daemon (an upgrade: about 40 KiB).
constexpr std::size_t window_bytes = std::size_t{256} * 1024;

}  // namespace

__attribute__((noinline)) void release_unused_stack() {
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  // This frame lies below the caller's, and the call of madvise below this
  // one: the page holding the 256 bytes under this frame stays.
  char* const kept = static_cast<char*>(__builtin_frame_address(0)) - 256;
  char* const end = kept - (reinterpret_cast<std::uintptr_t>(kept) & (page - 1));
  if (reinterpret_cast<std::uintptr_t>(end) < window_bytes) return;
  // Parts of the window below the stack are not mapped: madvise reports
  // ENOMEM for them and still frees the mapped rest.
  (void)::madvise(end - window_bytes, window_bytes, MADV_DONTNEED);
}
