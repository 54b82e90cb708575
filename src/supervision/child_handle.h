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

// Watchdog thread: SIGKILL to the slot's tracked child. Without a handle
// (kernels before 5.3) it falls back to kill(2) on the pid.
void kill_tracked_child(process_slot* slot);
