#include "plugin_data/upgrade.h"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/data_lock.h"
#include "core/state.h"
#include "core/uci_directory.h"
#include "plugin_data/boot_check.h"
#include "plugin_data/staging.h"
#include "plugin_data/version.h"
#include "util/errno_text.h"
#include "util/format.h"
#include "util/fs.h"
#include "util/handles.h"
#include "util/json_file.h"
#include "util/output.h"
#include "util/spawn.h"
#include "util/text_escape.h"
#include "util/tree.h"

namespace {

// The daemon's own wording of `error`, so that these lines read the same on
// every C library. Main thread only: the text may lie in a static buffer.
const char* reason(int error) {
  static errno_text_buffer unknown;
  return errno_text(error, unknown);
}

constexpr int code_unpack = 130;
constexpr int code_copy = 131;
constexpr int directory_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

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

// The data directory, opened, and its lock (see lock_data_directory_of),
// or neither after printing.
struct locked_data {
  unique_fd data;
  unique_fd lock;
};

locked_data lock_data_directory() {
  locked_data locked{unique_fd(::open(data_directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
                     unique_fd()};
  if (!locked.data) say("failed to lock %s: %s\n", data_directory, reason(errno));
  if (locked.data) locked.lock.reset(lock_data_directory_of(locked.data.get()));
  if (!locked.lock) locked.data.reset();
  return locked;
}

// tar unpacks into "root" of the staging directory, reading the package on
// its standard input. It restores no owners (-o): a package built by a user
// must not hand its files to that user. 0, or -1 after its line.
int run_tar(int package, const char* package_path, const char* staging_path) {
  path_buffer root;
  if (!format_into(root, "%s/root", staging_path)) return -1;
  char* const argv[] = {const_cast<char*>("tar"),
                        const_cast<char*>("-zxof"),
                        const_cast<char*>("-"),
                        const_cast<char*>("-C"),
                        root.data(),
                        nullptr};
  int signal = 0;
  const int status = spawn_and_wait("tar", argv, package, &signal);
  if (status == 0) return 0;
  if (status > 0) {
    say("failed to unpack %s: tar exited with %d\n", package_path, status);
  } else if (signal > 0) {
    say("failed to unpack %s: tar killed by signal %d\n", package_path, signal);
  } else {
    say("failed to unpack %s: tar could not be run\n", package_path);
  }
  return -1;
}

// Moves what tar unpacked into the data directory, after making it fit and
// checking every entry, so a refusal or a conflict found changes nothing; a
// step that fails later has every step before it undone. 0, or -1 after its
// line; `kept` is set when putting back failed and the staging directory
// must stay (the lines say what of ../data/ is in there).
int move_into_data(int staging, int data, const char* package_path, const char* kept_path,
                   bool* kept) {
  merge_stop stop;
  merge_journal journal;
  const unique_fd root(::openat(staging, "root", directory_flags));
  const unique_fd aside(::openat(staging, "old", directory_flags));
  if (!root || !aside) stop.error = errno;
  if (root && aside && sanitize_staged(root.get(), &stop) == 0 &&
      check_merge(root.get(), data, &stop) == 0 &&
      merge_staged(root.get(), data, aside.get(), &journal, &stop) == 0)
    return 0;
  // Member names are the package's: a newline or a control byte in one must
  // neither split the line nor reach a terminal.
  std::array<char, 4 * sizeof stop.path + 1> path{};
  (void)escape_text(stop.path.data(), path.data(), path.size());
  say("failed to unpack %s: %s/%s: %s\n", package_path, data_directory, path.data(),
      stop.refusal != nullptr ? stop.refusal : reason(stop.error));
  path_buffer aside_path;
  (void)format_into(aside_path, "%s/old", kept_path);
  if (journal.count > 0 &&
      undo_merge(root.get(), data, aside.get(), aside_path.data(), journal) != 0)
    *kept = true;
  return -1;
}

// A power cut while entries move must not leave a record on the medium that
// vouches for a mix of two versions: before the first move, the record there
// stops vouching for plugin data (the one written at the end vouches again).
// 0, or -1 after its line.
int withdraw_plugin_data(const cJSON* record, int data) {
  if (record == nullptr || cJSON_GetObjectItem(record, "plugindata") == nullptr) return 0;
  const unique_text text(json_print(record, "plugindata"));
  errno = ENOMEM;
  // The directory is flushed too, so the rename is on the medium before any move.
  if (text &&
      replace_file_atomically(boot_check_record_path, text.get(),
                              static_cast<int>(std::strlen(text.get()))) == 0 &&
      ::fsync(data) == 0)
    return 0;
  say("failed to write %s: %s\n", boot_check_record_path, reason(errno));
  return -1;
}

// 1 when the package was unpacked and moved into the data directory whole.
// The staging directory goes in every case, so a failure leaves the data
// directory as it was and frees the space; only when putting back failed
// does it stay, renamed so that no start-up removes it.
int unpack_package(int package, const char* package_path, int data, const cJSON* record,
                   bool* kept) {
  path_buffer staging_path;
  if (data < 0 || !format_into(staging_path, "%s/%sXXXXXX", data_directory, staging_prefix))
    return 0;
  if (::mkdtemp(staging_path.data()) == nullptr) {
    say("failed to unpack %s: %s\n", package_path, reason(errno));
    return 0;
  }
  const char* staging_name = staging_path.data() + std::strlen(data_directory) + 1;
  path_buffer kept_name;
  path_buffer kept_path;
  (void)format_into(kept_name, "%s%s", kept_prefix, staging_name + std::strlen(staging_prefix));
  (void)format_into(kept_path, "%s/%s", data_directory, kept_name.data());
  unique_fd staging(::openat(data, staging_name, directory_flags));
  int done = 0;
  if (!staging || ::mkdirat(staging.get(), "root", 0700) != 0 ||
      ::mkdirat(staging.get(), "old", 0700) != 0) {
    say("failed to unpack %s: %s\n", package_path, reason(errno));
  } else if (run_tar(package, package_path, staging_path.data()) == 0 &&
             withdraw_plugin_data(record, data) == 0 &&
             move_into_data(staging.get(), data, package_path, kept_path.data(), kept) == 0) {
    done = 1;
  }
  staging.reset();
  if (*kept) {
    if (::renameat(data, staging_name, data, kept_name.data()) != 0)
      say("failed to keep %s as %s: %s\n", staging_path.data(), kept_path.data(), reason(errno));
  } else if (remove_tree(data, staging_name) != 0) {
    say("failed to remove %s: %s\n", staging_path.data(), reason(errno));
  }
  return done;
}

// 1 when the package was copied whole to init.bin in the data directory.
int copy_package(int package, const char* package_path) {
  path_buffer destination;
  if (!format_into(destination, "%s/%s", data_directory, "init.bin")) return 0;
  if (copy_file(package, destination.data()) == 0) return 1;
  say("failed to copy %s to %s: %s\n", package_path, destination.data(), reason(errno));
  return 0;
}

// The record vouches for what was installed: that reaches the disk first.
int sync_data(int data) {
  if (::syncfs(data) == 0) return 0;
  say("failed to sync %s: %s\n", data_directory, reason(errno));
  return -1;
}

// Writes the record as its unformatted print. The file is replaced by rename,
// so a failure leaves the previous record whole instead of a truncated one.
// Members named `left_out` are not written.
void write_record(const cJSON* record, const char* left_out) {
  const unique_text text(json_print(record, left_out));
  errno = ENOMEM;
  if (!text || replace_file_atomically(boot_check_record_path, text.get(),
                                       static_cast<int>(std::strlen(text.get()))) != 0)
    say("failed to write %s: %s\n", boot_check_record_path, reason(errno));
}

}  // namespace

void install_upgrade_package(int code) {
  package_path_buffer package;
  if (!format_into(package, "%s/%s", uci_directory, "ttupgrade.tgz")) return;
  const unique_fd package_fd = open_package(package.data());
  if (!package_fd) return;
  // Held to the end: a supervisor sharing ../data/ must neither clear our
  // staging directory or temporary files at its start nor write the record
  // between our read and our write.
  const locked_data locked = lock_data_directory();
  // Without the lock nothing is installed: the package stays for a later try.
  if (!locked.data) return;
  const unique_fd& data = locked.data;
  // Nothing goes where another user could change what we then run as root;
  // the package stays for a later try.
  if (guard_open_directory(data.get(), data_directory) != 0) return;

  // Read before unpacking, so a .bootchk shipped in the archive is overwritten.
  unique_json record(read_boot_check_record());
  // A record that is no object (an array, a string...) takes no members.
  if (!cJSON_IsObject(record.get())) record.reset(cJSON_CreateObject());
  // Without any document (heap exhausted) the package is still installed and
  // deleted; only the record stays as it was.
  if (record && json_get_string(record.get(), "version") == nullptr) {
    append_member(record.get(), "version", cJSON_CreateString(baseline_version));
  }

  const char* done_member = nullptr;
  bool kept = false;
  if (code == code_unpack &&
      unpack_package(package_fd.get(), package.data(), data.get(), record.get(), &kept) == 1)
    done_member = "plugindata";
  // What could not be put back leaves a mix that no record may vouch for.
  const char* left_out = kept ? "plugindata" : nullptr;
  if (code == code_copy && copy_package(package_fd.get(), package.data()) == 1)
    done_member = "luadata";
  if (done_member != nullptr && sync_data(data.get()) != 0) done_member = nullptr;
  if (record && done_member != nullptr) {
    append_member(record.get(), done_member, cJSON_CreateNumber(1.0));
  }

  (void)::unlink(package.data());
  if (record) write_record(record.get(), left_out);
}

void remove_upgrade_leftovers() {
  const locked_data locked = lock_data_directory();
  if (!locked.data) return;
  const unique_fd& data = locked.data;
  directory_reader reader{data.get()};
  for (bool removed_some = true; removed_some;) {
    removed_some = false;
    rewind_entries(reader);
    while (const char* name = next_entry(reader)) {
      // A directory of a temporary file's name stays: it is none of ours.
      if (is_temporary_name(name, ".bootchk.") || is_temporary_name(name, ".init.bin."))
        removed_some = ::unlinkat(data.get(), name, 0) == 0 || removed_some;
      else if (is_temporary_name(name, staging_prefix))
        removed_some = remove_tree(data.get(), name) == 0 || removed_some;
    }
  }
}
