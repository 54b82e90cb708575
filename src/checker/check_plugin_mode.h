// The configuration checker's look at the boot-check record ../data//.bootchk:
// whether the first launch cycle runs in plugin mode, and why.
#pragma once

#include "checker/check_report.h"

// Reads the record relative to the working directory, as the daemon does,
// and reports the decision without acting on it (a stale record is reported,
// not removed). 1 when plugin mode holds, else 0.
[[nodiscard]] int check_plugin_mode(check_report* report);
