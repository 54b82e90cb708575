// The status reader: which supervisors run, since when, and what their
// programs do, worked out from /tmp/.uci/ and /proc. It sends no signal and
// writes no file.
#pragma once

#include <cstdio>

// Reports every running supervisor (`target` null), or the one whose program
// name or directory `target` names: a target with a slash, "." or "..", or a
// directory without a run file of that name, is a directory. As a table, or
// with `json` as one object (an array of them without a target). What could
// not be read goes to `err`. The exit status: 0 when the supervisors run all
// their programs, 1 when some program does not run, 2 when no supervisor (of
// that name or directory) runs, 4 when one runs that /proc hides from us.
[[nodiscard]] int run_status(const char* target, bool json, std::FILE* out, std::FILE* err);
