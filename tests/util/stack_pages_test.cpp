#include "util/stack_pages.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdint>

namespace {

constexpr std::size_t depth = 64 * 1024;

// Touches every page of a deep frame, as a launch's buffers do.
__attribute__((noinline)) char touch_deep() {
  volatile char frame[depth];
  for (std::size_t i = 0; i < depth; i += 512) frame[i] = static_cast<char>(i);
  return frame[depth / 2];
}

// How many of the pages between 16 KiB and 48 KiB below `from` are resident.
int resident_below(std::uintptr_t from) {
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const std::uintptr_t end = (from - 16 * 1024) & ~(page - 1);
  const std::uintptr_t start = end - 32 * 1024;
  std::array<unsigned char, 64> pages{};
  if (::mincore(reinterpret_cast<void*>(start), end - start, pages.data()) != 0) return -1;
  int resident = 0;
  for (std::size_t i = 0; i < (end - start) / page; ++i) resident += pages[i] & 1;
  return resident;
}

TEST(stack_pages, pages_below_the_caller_go_back_and_its_own_data_stays) {
  volatile char mine[256];
  for (std::size_t i = 0; i < sizeof mine; ++i) mine[i] = static_cast<char>(i);
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  (void)touch_deep();
  ASSERT_GT(resident_below(here), 0);
  release_unused_stack();
  EXPECT_EQ(resident_below(here), 0);
  for (std::size_t i = 0; i < sizeof mine; ++i) ASSERT_EQ(mine[i], static_cast<char>(i));
  (void)touch_deep();  // the released pages come back on use
}

}  // namespace
