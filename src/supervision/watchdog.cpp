#include "supervision/watchdog.h"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstring>

#include "core/run_file.h"
#include "supervision/child_handle.h"
#include "util/format.h"

namespace {

inline constexpr unsigned check_interval_s = 120;
inline constexpr uint32_t kill_threshold = 2;  // killed at the third miss in a row
inline constexpr std::size_t watchdog_stack_bytes = 65536;

int watched_slots(const supervisor_state* state) {
  return state->process_count < max_processes ? state->process_count : max_processes;
}

void kill_unresponsive(supervisor_state* state, process_slot& slot, int pid) {
  std::array<char, 8192> line;
  (void)format_into(line, "%s is not alive, and we will kill it.\n", slot.name.data());
  (void)append_to_run_file(state->run_fd, line.data(), static_cast<int>(std::strlen(line.data())));
  slot.missed_checks = 0;
  // A child that ended meanwhile is left to the loop, its next run untouched.
  (void)kill_unresponsive_child(&slot, pid);
}

void* check_alive(void* argument) {
  auto* state = static_cast<supervisor_state*>(argument);
  for (;;) {
    (void)::sleep(check_interval_s);
    check_alive_once(state);
  }
  return nullptr;
}

}  // namespace

void check_alive_once(supervisor_state* state) {
  for (int i = 0; i < watched_slots(state); ++i) {
    process_slot& slot = state->slots[i];
    const int pid = slot.pid;
    if (pid <= 0 || slot.alive_path[0] == '\0') continue;
    // Only a regular file: a directory there could never be deleted, and a
    // hung program would never be killed.
    struct stat alive {};
    if (::stat(slot.alive_path.data(), &alive) == 0 && S_ISREG(alive.st_mode)) {
      (void)::unlink(slot.alive_path.data());
      slot.missed_checks = 0;
      continue;
    }
    if (++slot.missed_checks > kill_threshold) kill_unresponsive(state, slot, pid);
  }
}

void start_liveness_watchdog(supervisor_state* state) {
  bool wanted = false;
  for (int i = 0; i < watched_slots(state); ++i) wanted = wanted || state->slots[i].alive_path[0];
  if (!wanted) return;
  // The thread needs a few KiB; the libc's default reserves megabytes, which
  // counts against a router's commit limit.
  pthread_attr_t attributes;
  const bool small = ::pthread_attr_init(&attributes) == 0 &&
                     ::pthread_attr_setstacksize(&attributes, watchdog_stack_bytes) == 0;
  pthread_t thread{};
  const int created = ::pthread_create(&thread, small ? &attributes : nullptr, check_alive, state);
  (void)::pthread_attr_destroy(&attributes);
  if (created != 0) {
    static constexpr char failure[] = "create pthread check_alive failed\n";
    (void)append_to_run_file(state->run_fd, failure, static_cast<int>(sizeof failure - 1));
    return;
  }
  (void)::pthread_detach(thread);
}
