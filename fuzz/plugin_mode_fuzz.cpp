// The plugin-mode decision on an arbitrary boot-check record: plugin mode only
// for an object whose first "version" is a string not older than the baseline
// and whose first "plugindata" has the integer value 1; a stale record is
// removed, every other record is left exactly as it was.
#include <cjson/cJSON.h>

#include <string>

#include "fuzz_support.h"
#include "plugin_data/boot_check.h"
#include "plugin_data/version.h"
#include "util/handles.h"

namespace {

constexpr const char* record_path = "../data/.bootchk";

enum class verdict { no_plugin_mode, plugin_mode, stale };

verdict judge(const std::string& text) {
  const unique_json record(text.empty() ? nullptr : cJSON_Parse(text.c_str()));
  if (!cJSON_IsObject(record.get())) return verdict::no_plugin_mode;
  const cJSON* version = cJSON_GetObjectItem(record.get(), "version");
  if (!cJSON_IsString(version)) return verdict::no_plugin_mode;
  // The packed values compare as unsigned numbers; how a text packs is the
  // version target's business.
  if (dotted_version_value(version->valuestring) < dotted_version_value(baseline_version))
    return verdict::stale;
  const cJSON* plugindata = cJSON_GetObjectItem(record.get(), "plugindata");
  const bool one =
      cJSON_IsTrue(plugindata) || (cJSON_IsNumber(plugindata) && plugindata->valueint == 1);
  return one ? verdict::plugin_mode : verdict::no_plugin_mode;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  enter_private_tree(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  write_bytes(record_path, data, size);
  const int mode = decide_plugin_mode();
  const verdict expected = judge(json_text_of(data, size));

  FUZZ_CHECK(mode == (expected == verdict::plugin_mode ? 1 : 0));
  if (expected == verdict::stale) {
    FUZZ_CHECK(!path_exists(record_path));
  } else {
    FUZZ_CHECK(read_bytes(record_path) == std::string(reinterpret_cast<const char*>(data), size));
  }
  return 0;
}
