#include "plugin_data/upgrade.h"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstring>

#include "core/state.h"
#include "plugin_data/version.h"
#include "util/format.h"
#include "util/fs.h"
#include "util/handles.h"
#include "util/json_file.h"
#include "util/spawn.h"

namespace {

constexpr int code_unpack = 130;
constexpr int code_copy = 131;

using package_path_buffer = std::array<char, 510>;
using path_buffer = std::array<char, 8192>;

// Appends `item` under `name`. The document takes the item over only when the
// add succeeded; otherwise it is freed here.
void append_member(cJSON* object, const char* name, cJSON* item) {
  unique_json owned(item);
  if (owned && cJSON_AddItemToObject(object, name, owned.get())) (void)owned.release();
}

// The package opened once, or none when it is missing, unreadable, a link
// or anything but a regular file: a FIFO would block the loop for good. What
// is unpacked or copied is read from this descriptor, never again by path.
unique_fd open_package(const char* path) {
  unique_fd package(::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat status {};
  if (package && (::fstat(package.get(), &status) != 0 || !S_ISREG(status.st_mode)))
    package.reset();
  return package;
}

// 1 when tar unpacked the archive on `package` into the data directory.
int unpack_package(int package) {
  char* const argv[] = {
      const_cast<char*>("tar"), const_cast<char*>("-zxf"),         const_cast<char*>("-"),
      const_cast<char*>("-C"),  const_cast<char*>(data_directory), nullptr};
  return spawn_and_wait("tar", argv, package) == 0 ? 1 : 0;
}

// 1 when the package was copied whole to init.bin in the data directory.
int copy_package(int package) {
  path_buffer destination;
  if (!format_into(destination, "%s/%s", data_directory, "init.bin")) return 0;
  return copy_file(package, destination.data()) == 0 ? 1 : 0;
}

// Writes the record as its unformatted print. The file is replaced by rename,
// so a failure leaves the previous record whole instead of a truncated one.
void write_record(const char* path, const cJSON* record) {
  const unique_text text(cJSON_PrintUnformatted(record));
  if (!text) return;
  const auto length = static_cast<int>(std::strlen(text.get()));
  (void)replace_file_atomically(path, text.get(), length);
}

}  // namespace

void install_upgrade_package(int code) {
  package_path_buffer package;
  if (!format_into(package, "%s/%s", uci_directory, "ttupgrade.tgz")) return;
  const unique_fd package_fd = open_package(package.data());
  if (!package_fd) return;

  path_buffer record_path;
  const bool have_path = format_into(record_path, "%s/%s", data_directory, ".bootchk");
  // Read before unpacking, so a .bootchk shipped in the archive is overwritten.
  unique_json record(have_path ? read_json_file(record_path.data()) : nullptr);
  // A record that is no object (an array, a string...) takes no members.
  if (!cJSON_IsObject(record.get())) record.reset(cJSON_CreateObject());
  // Without any document (heap exhausted) the package is still installed and
  // deleted; only the record stays as it was.
  if (record && json_get_string(record.get(), "version") == nullptr) {
    append_member(record.get(), "version", cJSON_CreateString(baseline_version));
  }

  const char* done_member = nullptr;
  if (code == code_unpack && unpack_package(package_fd.get()) == 1) done_member = "plugindata";
  if (code == code_copy && copy_package(package_fd.get()) == 1) done_member = "luadata";
  if (record && done_member != nullptr) {
    append_member(record.get(), done_member, cJSON_CreateNumber(1.0));
  }

  (void)::unlink(package.data());
  if (record && have_path) write_record(record_path.data(), record.get());
}
