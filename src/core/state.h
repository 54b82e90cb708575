// The supervisor state: the one record of the daemon, created zero-filled by
// start-up and shared by pointer with every part, including the watchdog
// thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

inline constexpr int max_processes = 4;
inline constexpr const char* default_process_name = "corvex-dpi-inner";
inline constexpr const char* uci_directory = "/tmp/.uci/";
inline constexpr const char* data_directory = "../data/";

using text_buffer = std::array<char, 4096>;  // names and paths are cut to 4095 characters

// A text of the state, kept in the state's text pool. Zero-filled, it is the
// empty text.
struct state_text {
  const char* text;
  [[nodiscard]] const char* data() const { return text != nullptr ? text : ""; }
  [[nodiscard]] char operator[](std::size_t i) const { return data()[i]; }
};

// The watchdog thread reads and writes these without a lock. Every target
// loads and stores an aligned 32-bit word whole; read-modify-write need not be
// lock-free (ARMv5 has no such instructions and goes through the C library).
static_assert(sizeof(std::atomic<int32_t>) == 4 && alignof(std::atomic<int32_t>) == 4);
static_assert(sizeof(std::atomic<uint32_t>) == 4 && alignof(std::atomic<uint32_t>) == 4);

struct process_slot {
  state_text name;        // `base` of the configuration element
  state_text alive_path;  // empty: no liveness check, no "-A"
  // Shared with the watchdog thread.
  std::atomic<uint32_t> missed_checks;
  std::atomic<int32_t> watchdog_kill;
  std::atomic<int32_t> pid;  // >0 running, 0 none, -1 last fork failed
  // The running child's pidfd, guarded by its own lock. 0 or less: none
  // (descriptor 0 is standard input, kept open from start-up on).
  int32_t pidfd;
};

// Which file a descriptor held: a stat of a path tells whether the path still
// names that file, without a stat of the descriptor.
struct file_identity {
  uint64_t device;
  uint64_t inode;
};

// The small fields come first and share one page; the texts are packed one
// after another into the pool, so a supervisor with short names touches a
// page or two of it instead of one page per 4 KiB text.
struct supervisor_state {
  int32_t argument_flag;
  int32_t plugin_mode;
  int32_t run_fd;            // 0 or less: no run file; the number never changes once locked
  int32_t lock_fd;           // the instance lock's file; the number never changes once locked
  const char* program_path;  // argv[0], as the lock's refusal names it
  file_identity run_file;    // of run_fd and lock_fd, from when they were opened
  file_identity lock_file;
  int32_t process_count;
  uint32_t crash_count;
  std::array<process_slot, max_processes> slots;
  state_text run_file_path;
  std::size_t pool_used;
  // Room for every text at its full capacity: the run-file path and two per slot.
  std::array<char, (1 + 2 * max_processes) * sizeof(text_buffer)> pool;
};

// Formats a text into the pool, cut to 4095 characters, and points `field` at
// it. Each field is stored once, at start-up, before the watchdog starts.
// False when the text was cut.
__attribute__((format(printf, 3, 4))) bool store_text(supervisor_state* state, state_text* field,
                                                      const char* format, ...);
