#include "plugin_data/boot_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string_view>

#include "core/state.h"
#include "core/uci_directory.h"
#include "plugin_data/version.h"
#include "util/handles.h"
#include "util/json_file.h"
#include "util/output.h"

// Composed like every path in the data directory: "%s/%s" of it and the name.
static_assert(std::string_view(boot_check_record_path).starts_with(data_directory) &&
              std::string_view(boot_check_record_path)
                      .substr(std::string_view(data_directory).size()) == "/.bootchk");

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
  if (verdict != record_verdict::plugin_mode) return 0;
  // The programs run from there as our user: only from a directory nobody
  // else can write to (checked again each cycle, as a plugin may change it).
  const unique_fd data(::open(data_directory, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!data || guard_open_directory(data.get(), data_directory) != 0) return 0;
  // Nor on the word of a record another user made or may change, planted
  // while the directory was open to others.
  struct stat status {};
  if (::fstatat(data.get(), ".bootchk", &status, AT_SYMLINK_NOFOLLOW) != 0) return 0;
  if (S_ISREG(status.st_mode) && (status.st_uid == 0 || status.st_uid == ::geteuid()) &&
      (status.st_mode & 022) == 0 && status.st_nlink == 1)
    return 1;
  say("refusing %s: it is not the supervisor's own file\n", boot_check_record_path);
  return 0;
}

int remove_boot_check_record() {
  if (::access(boot_check_record_path, R_OK) != 0) return 0;
  // The caller relies on 1 meaning the record is gone, so a failed unlink is 0.
  return ::unlink(boot_check_record_path) == 0 ? 1 : 0;
}

cJSON* read_boot_check_record() { return read_json_file(boot_check_record_path); }
