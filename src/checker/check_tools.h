// The configuration checker's look at the two outside commands the daemon
// runs: killall (the kill by name) and tar (unpacking upgrade packages).
#pragma once

#include "checker/check_report.h"

// Warns when killall is not found, or no tar that can read a gzip-compressed
// archive, the way the daemon looks for them: in PATH (its default when
// unset), without a shell. The daemon ignores their failures silently.
void check_tools(check_report* report);
