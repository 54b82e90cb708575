// Ending the process group of a supervised program: each program leads a
// group of its own, in which its helpers (a shell's `cmd &`) stay unless they
// leave it on purpose (setsid). Main thread only.
#pragma once

#include "core/state.h"

// After the slot's child `pid` ended and was reaped: SIGTERM to what is left
// of its group, which is remembered until end_lingering_group.
void warn_group_of_ended(int slot_index, int pid);

// Before the slot's program starts again: SIGKILL to the group remembered for
// it, whose grace was the restart delay.
void end_lingering_group(const supervisor_state* state, int slot_index);

// At a launch cycle and at the supervisor's end: SIGTERM to the group of
// every running child (its leader already killed, or about to be) and to
// every remembered group, a short grace, then SIGKILL to all of them.
void end_all_groups(const supervisor_state* state);
