#include "plugin_data/staging.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "util/fs.h"
#include "util/handles.h"
#include "util/tree.h"

namespace {

constexpr int directory_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

struct merge_walk {
  merge_stop* stop;
  bool move;           // false: only check
  std::size_t length;  // of the path of the directory being walked, in stop->path
};

// Names a package must not put at the top of the data directory: the record
// (written after the move) and the supervisor's temporary files.
bool is_reserved(const char* name) {
  return std::strcmp(name, ".bootchk") == 0 || is_temporary_name(name, ".bootchk.") ||
         is_temporary_name(name, ".init.bin.") || is_temporary_name(name, staging_prefix);
}

// Appends "/<name>" (no slash at the start) to the path of the first
// `length` characters, cut at the buffer's end.
void extend_path(std::array<char, 4096>& path, std::size_t length, const char* name) {
  std::size_t at = length;
  if (at > 0 && at + 1 < path.size()) path[at++] = '/';
  for (; *name != '\0' && at + 1 < path.size(); ++name) path[at++] = *name;
  path[at] = '\0';
}

int stop_at(merge_walk& walk, int error) {
  walk.stop->error = error;
  return -1;
}

int walk_directory(merge_walk& walk, int staged, int target, int depth);

// Checks or moves one entry. 1 when it was handled, 0 when skipped, -1.
int walk_entry(merge_walk& walk, int staged, int target, const char* name, int depth) {
  if (depth == 0 && is_reserved(name)) return 0;
  auto& path = walk.stop->path;
  const std::size_t length = walk.length;
  extend_path(path, length, name);
  struct stat from {};
  struct stat to {};
  if (::fstatat(staged, name, &from, AT_SYMLINK_NOFOLLOW) != 0) return stop_at(walk, errno);
  const bool stands = ::fstatat(target, name, &to, AT_SYMLINK_NOFOLLOW) == 0;
  if (!stands && errno != ENOENT) return stop_at(walk, errno);
  if (stands && S_ISDIR(from.st_mode) && S_ISDIR(to.st_mode)) {
    if (depth + 1 >= max_merge_depth) return stop_at(walk, ENAMETOOLONG);
    const unique_fd staged_child(::openat(staged, name, directory_flags));
    const unique_fd target_child(::openat(target, name, directory_flags));
    if (!staged_child || !target_child) return stop_at(walk, errno);
    walk.length = std::strlen(path.data());
    if (walk_directory(walk, staged_child.get(), target_child.get(), depth + 1) != 0) return -1;
    walk.length = length;
    if (walk.move && ::unlinkat(staged, name, AT_REMOVEDIR) != 0) return stop_at(walk, errno);
    return 1;
  }
  // rename(2) puts no directory over a file or a link, and nothing over a
  // non-empty directory: what stands goes first, a directory only if empty.
  if (stands && (S_ISDIR(from.st_mode) || S_ISDIR(to.st_mode))) {
    const bool directory = S_ISDIR(to.st_mode);
    if (directory && is_empty_directory(target, name) != 1) return stop_at(walk, ENOTEMPTY);
    if (walk.move && ::unlinkat(target, name, directory ? AT_REMOVEDIR : 0) != 0)
      return stop_at(walk, errno);
  }
  if (walk.move && ::renameat(staged, name, target, name) != 0) return stop_at(walk, errno);
  return 1;
}

int walk_directory(merge_walk& walk, int staged, int target, int depth) {
  directory_reader reader{staged};
  // A move takes each handled entry out of `staged`: read again until a
  // pass handles nothing (see rewind_entries).
  for (bool handled_some = true; handled_some;) {
    handled_some = false;
    rewind_entries(reader);
    while (const char* name = next_entry(reader)) {
      const int handled = walk_entry(walk, staged, target, name, depth);
      if (handled < 0) return -1;
      handled_some = handled_some || (walk.move && handled == 1);
    }
    if (reader.got < 0) return stop_at(walk, errno);
  }
  return 0;
}

int walk_root(int staged, int target, merge_stop* stop, bool move) {
  stop->path[0] = '\0';
  merge_walk walk{stop, move, 0};
  return walk_directory(walk, staged, target, 0);
}

}  // namespace

int check_merge(int staged, int target, merge_stop* stop) {
  return walk_root(staged, target, stop, false);
}

int merge_staged(int staged, int target, merge_stop* stop) {
  return walk_root(staged, target, stop, true);
}
