// The configuration checker: what the daemon would do when started from a
// directory, read without creating or changing any file.
#pragma once

#include <cstdio>

// Changes into `directory` (as the daemon changes into its own) and reports
// on its config, its ../data//.bootchk, /tmp/.uci/ and the killall and tar
// it would run (from this process's PATH) to `out`. The exit
// status: 0 clean, 1 warnings only, 2 the daemon would refuse to start.
[[nodiscard]] int run_check(const char* directory, std::FILE* out);
