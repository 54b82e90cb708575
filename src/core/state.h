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

using text_buffer = std::array<char, 4096>;

// The watchdog thread reads and writes these without a lock. Every target
// loads and stores an aligned 32-bit word whole; read-modify-write need not be
// lock-free (ARMv5 has no such instructions and goes through the C library).
static_assert(sizeof(std::atomic<int32_t>) == 4 && alignof(std::atomic<int32_t>) == 4);
static_assert(sizeof(std::atomic<uint32_t>) == 4 && alignof(std::atomic<uint32_t>) == 4);

struct process_slot {
  text_buffer name;        // `base` of the configuration element
  text_buffer alive_path;  // empty: no liveness check, no "-A"
  // Shared with the watchdog thread.
  std::atomic<uint32_t> missed_checks;
  std::atomic<int32_t> watchdog_kill;
  std::atomic<int32_t> pid;  // >0 running, 0 none, -1 last fork failed
  // The running child's pidfd, guarded by its own lock. 0 or less: none
  // (descriptor 0 is standard input, kept open from start-up on).
  int32_t pidfd;
};

struct supervisor_state {
  text_buffer run_file_path;
  int32_t argument_flag;
  int32_t plugin_mode;
  int32_t run_fd;  // 0 or less: no run file
  int32_t process_count;
  std::array<process_slot, max_processes> slots;
  uint32_t crash_count;
};
