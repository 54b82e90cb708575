#include "checker/check_plugin_mode.h"

#include <unistd.h>

#include "core/state.h"
#include "plugin_data/boot_check.h"
#include "plugin_data/version.h"
#include "util/handles.h"
#include "util/json_file.h"

namespace {

constexpr const char* record_path = boot_check_record_path;

void note_absent_record(check_report* report) {
  if (::access(data_directory, F_OK) != 0) {
    report_line(report, finding::note, "plugin mode: no (no %s; the daemon creates the directory)",
                data_directory);
  } else if (::access(record_path, F_OK) != 0) {
    report_line(report, finding::note, "plugin mode: no (no boot-check record %s)", record_path);
  } else {
    report_line(report, finding::note,
                "plugin mode: no (%s is empty, unreadable or not JSON: taken as absent, and "
                "removed only after a failed start)",
                record_path);
  }
}

// The version against the baseline, as the decision compares them.
void note_version(check_report* report, const char* version, const char* verdict) {
  report_line(report, finding::note, "  version \"%s\" = 0x%08x, %s the baseline %s = 0x%08x",
              version, dotted_version_value(version), verdict, baseline_version,
              dotted_version_value(baseline_version));
}

}  // namespace

int check_plugin_mode(check_report* report) {
  const unique_json record(read_boot_check_record());
  const cJSON* document = record.get();
  const char* version = document != nullptr ? json_get_string(document, "version") : nullptr;
  switch (judge_boot_check_record(document)) {
    case record_verdict::absent:
      note_absent_record(report);
      return 0;
    case record_verdict::no_version:
      if (!cJSON_IsObject(document)) {
        report_line(report, finding::note, "plugin mode: no (%s holds no JSON object)",
                    record_path);
        report_line(report, finding::warning,
                    "%s is valid JSON but not an object: it never gives plugin mode", record_path);
      } else {
        report_line(report, finding::note,
                    "plugin mode: no (%s has no \"version\" string; it stays)", record_path);
      }
      return 0;
    case record_verdict::stale:
      report_line(report, finding::note, "plugin mode: no (%s is stale)", record_path);
      note_version(report, version, "older than");
      report_line(report, finding::warning,
                  "%s is stale: the daemon deletes it at its first launch cycle", record_path);
      return 0;
    case record_verdict::no_plugindata:
      if (cJSON_GetObjectItem(document, "plugindata") == nullptr)
        report_line(report, finding::note, "plugin mode: no (%s has no \"plugindata\"; it stays)",
                    record_path);
      else
        report_line(report, finding::note,
                    "plugin mode: no (\"plugindata\" of %s is %d, not 1; it stays)", record_path,
                    json_get_int(document, "plugindata"));
      note_version(report, version, "not older than");
      return 0;
    case record_verdict::plugin_mode:
      report_line(report, finding::note,
                  "plugin mode: yes (%s has \"plugindata\" 1); programs run from %s", record_path,
                  data_directory);
      note_version(report, version, "not older than");
      return 1;
  }
  return 0;
}
