// The configuration checker's look at the programs: their first command
// lines, their files and the liveness watchdog.
#pragma once

#include "checker/check_report.h"
#include "core/state.h"

// Prints each slot's program with the exact command line of its first start
// (in plugin mode when `plugin_mode` is 1), and warns about program files that
// are missing or not executable where the daemon will run them from.
void check_programs(check_report* report, const supervisor_state& state, int plugin_mode);

// Reports whether the liveness watchdog runs, and for which programs.
void check_watchdog(check_report* report, const supervisor_state& state);
