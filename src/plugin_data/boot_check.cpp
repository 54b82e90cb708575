#include "plugin_data/boot_check.h"

#include <unistd.h>

#include <array>

#include "core/state.h"
#include "plugin_data/version.h"
#include "util/format.h"
#include "util/fs.h"
#include "util/handles.h"
#include "util/json_file.h"

namespace {

using record_path_buffer = std::array<char, 8192>;

// False only if the fixed path did not fit, which it always does.
bool compose_record_path(record_path_buffer& path) {
  return format_into(path, "%s/%s", data_directory, ".bootchk");
}

}  // namespace

record_verdict judge_boot_check_record(const cJSON* record) {
  if (record == nullptr) return record_verdict::absent;
  // Without a version string the record is left alone: it may still be
  // completed by the next upgrade.
  const char* version = json_get_string(record, "version");
  if (version == nullptr) return record_verdict::no_version;
  if (compare_versions(version, baseline_version) < 0) return record_verdict::stale;
  return json_get_int(record, "plugindata") == 1 ? record_verdict::plugin_mode
                                                 : record_verdict::no_plugindata;
}

int decide_plugin_mode() {
  const unique_json record(read_boot_check_record());
  const record_verdict verdict = judge_boot_check_record(record.get());
  if (verdict == record_verdict::stale) (void)remove_boot_check_record();
  return verdict == record_verdict::plugin_mode ? 1 : 0;
}

int remove_boot_check_record() {
  record_path_buffer path;
  if (!compose_record_path(path) || ::access(path.data(), R_OK) != 0) return 0;
  // The caller relies on 1 meaning the record is gone, so a failed unlink is 0.
  return ::unlink(path.data()) == 0 ? 1 : 0;
}

void remove_boot_check_leftovers() {
  record_path_buffer path;
  if (compose_record_path(path)) remove_replacement_leftovers(path.data());
}

cJSON* read_boot_check_record() {
  record_path_buffer path;
  if (!compose_record_path(path)) return nullptr;
  return read_json_file(path.data());
}
