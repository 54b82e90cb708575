// The boot-check record ../data//.bootchk: decides plugin mode. Main thread
// only; the record is not locked.
#pragma once

#include <cjson/cJSON.h>

// "%s/%s" of the data directory and ".bootchk": the record's one path.
inline constexpr const char* boot_check_record_path = "../data//.bootchk";

// 1 when programs run from the data directory: the record parses, its first
// "version" is a string not older than the baseline version and its first
// "plugindata" has the integer value 1, and ../data/ is a directory of ours
// or root's that nobody else can write to (see guard_open_directory: its
// line, and 0, when it is not). Removes a stale record.
[[nodiscard]] int decide_plugin_mode();

// What a parsed record (null: none) means for plugin mode, without acting on
// it: the daemon removes a stale record, a checker only reports it.
enum class record_verdict { absent, no_version, stale, no_plugindata, plugin_mode };
[[nodiscard]] record_verdict judge_boot_check_record(const cJSON* record);

// 1 when the record was readable and has actually been unlinked, else 0.
[[nodiscard]] int remove_boot_check_record();

// The parsed record, owned by the caller, or null.
[[nodiscard]] cJSON* read_boot_check_record();
