// The configuration checker's look at `config`: what start-up would refuse
// and what it accepts silently although it is likely a mistake.
#pragma once

#include "checker/check_report.h"
#include "core/state.h"

// Loads "config" from the working directory into the zero-filled `state`
// exactly as the daemon does, and reports on it. 0 when the daemon would load
// it, -1 when it would refuse to start (the refusal is reported).
[[nodiscard]] int check_config(check_report* report, supervisor_state* state);
