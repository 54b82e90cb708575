// The record update of an installation (codes 132 and 131) on an arbitrary
// existing record: the written record is a JSON object that starts with the
// old object's members, in order and unchanged, followed by the baseline
// version when there was no version string and "luadata" for a copy; the
// package is gone. The installation uses the fixed /tmp/.uci/, so the target
// runs in a private mount namespace with its own /tmp (root only).
#include <cjson/cJSON.h>

#include <string>

#include "fuzz_support.h"
#include "plugin_data/upgrade.h"
#include "plugin_data/version.h"
#include "util/handles.h"

namespace {

constexpr const char* package_path = "/tmp/.uci/ttupgrade.tgz";
constexpr const char* record_path = "../data/.bootchk";

std::string printed(const cJSON* item) {
  const unique_text text(cJSON_PrintUnformatted(item));
  FUZZ_CHECK(text != nullptr);
  return text.get();
}

// Checks `member` is "name": value as printed, and returns the next member.
const cJSON* expect_member(const cJSON* member, const char* name, const std::string& value) {
  FUZZ_CHECK(member != nullptr && member->string != nullptr);
  FUZZ_CHECK(std::string(member->string) == name);
  FUZZ_CHECK(printed(member) == value);
  return member->next;
}

void check_install(int code, const uint8_t* data, std::size_t size) {
  write_bytes(package_path, "not an archive", 14);
  write_bytes(record_path, data, size);
  install_upgrade_package(code);
  FUZZ_CHECK(!path_exists(package_path));

  const std::string old_text = json_text_of(data, size);
  const unique_json old_record(old_text.empty() ? nullptr : cJSON_Parse(old_text.c_str()));
  const cJSON* old_object = cJSON_IsObject(old_record.get()) ? old_record.get() : nullptr;
  const std::string written = read_bytes(record_path);
  const unique_json record(cJSON_Parse(written.c_str()));
  FUZZ_CHECK(cJSON_IsObject(record.get()));

  const cJSON* member = record->child;
  const cJSON* old_version = nullptr;
  if (old_object != nullptr) {
    for (const cJSON* old_member = old_object->child; old_member != nullptr;
         old_member = old_member->next) {
      member = expect_member(member, old_member->string, printed(old_member));
    }
    old_version = cJSON_GetObjectItem(old_object, "version");
  }
  if (!cJSON_IsString(old_version)) {
    member = expect_member(member, "version", std::string("\"") + baseline_version + "\"");
  }
  if (code == 131) member = expect_member(member, "luadata", "1");
  FUZZ_CHECK(member == nullptr);
  // Only a version of another type written before it can hide the new one.
  FUZZ_CHECK(cJSON_IsString(cJSON_GetObjectItem(record.get(), "version")) ==
             (old_version == nullptr || cJSON_IsString(old_version)));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  make_paths_absolute(*argc, *argv);
  confine_to_private_tmp(*argc, *argv);
  if (::mkdir("/tmp/.uci", 0755) != 0) fuzz_setup_failed("mkdir /tmp/.uci");
  if (::mkdir("/tmp/upgrade-case", 0755) != 0) fuzz_setup_failed("mkdir /tmp/upgrade-case");
  enter_tree("/tmp/upgrade-case");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  check_install(132, data, size);
  check_install(131, data, size);
  return 0;
}
