// A descriptor (pidfd) on each slot's running child, so that the watchdog's
// kill reaches that very process and never one that reuses its pid. Both
// threads use it under one lock.
#pragma once

#include "core/state.h"

// Main thread, right after the fork and before any wait: stores `pid` (a
// child's, or -1 after a failed fork) in the slot and opens its handle.
void track_child(process_slot* slot, int pid);

// Main thread: clears the slot's pid and closes its handle, once the child's
// ending is handled or a launch cycle clears the slot.
void forget_child(process_slot* slot);

// Watchdog thread: when the slot still tracks the child `pid`, marks the
// slot's watchdog kill, sends SIGKILL to that child and kills every process
// of the slot's name, and returns once all of it has finished. Without a
// handle (kernels before 5.3) the child is signalled by its pid. False when
// the slot tracks another child (or none) by now: nothing was done.
bool kill_unresponsive_child(process_slot* slot, int pid);

// Main thread: holds back a start of a program while a watchdog kill runs,
// so that the kill by name that follows the kill of the tracked child can
// never reach the program's next run.
class kill_barrier {
 public:
  kill_barrier();
  ~kill_barrier();
  kill_barrier(const kill_barrier&) = delete;
  kill_barrier& operator=(const kill_barrier&) = delete;
};
