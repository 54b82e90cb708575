// The liveness watchdog: a detached thread that kills programs which stop
// re-creating their alive files.
#pragma once

#include "core/state.h"

// Starts the thread when some slot has an alive-file path.
void start_liveness_watchdog(supervisor_state* state);

// One check of every slot (the thread runs it every 120 seconds).
void check_alive_once(supervisor_state* state);
