// The configuration file `config`: which programs the supervisor keeps running.
#pragma once

#include "core/state.h"

// Fills the process count and slots of a zero-filled state from the JSON file
// at `path`. 0 on success (also when the default process is used), -1 when
// the file gives no document or an element has no string "base".
[[nodiscard]] int load_config(const char* path, supervisor_state* state);

// One slot, named after the default process.
void use_default_process(supervisor_state* state);
