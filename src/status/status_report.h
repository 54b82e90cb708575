// The two forms of the status: a table for people and a JSON object for
// scripts.
#pragma once

#include <cjson/cJSON.h>

#include <cstdio>

#include "status/supervisor_status.h"

// The supervisor's line, its directory, one row per program in the order of
// its config, then the last ending of each program that has one.
void print_status_table(std::FILE* out, const supervisor_status& status);

// {"supervisor": {...}, "programs": [...]}, absent values as null. The caller
// owns the document; null when it could not be built.
[[nodiscard]] cJSON* status_json(const supervisor_status& status);

// The same object for a supervisor that does not run: a null supervisor and
// no programs.
[[nodiscard]] cJSON* absent_status_json();
