#include "plugin_data/staging.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/state.h"
#include "util/errno_text.h"
#include "util/format.h"
#include "util/fs.h"
#include "util/output.h"
#include "util/tree.h"

namespace {

constexpr int directory_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Bits no file of a package keeps: it would run with its owner's rights, or
// let others change what root runs.
constexpr mode_t dropped_bits = S_ISUID | S_ISGID | S_IWGRP | S_IWOTH;

constexpr char step_moved_in = 'm';   // staged/P went to target/P
constexpr char step_set_aside = 'a';  // target/P went to aside/<step>
constexpr char step_merged = 'd';     // the merged directory staged/P went to aside/<step>

struct merge_walk {
  merge_stop* stop;
  bool move;           // false: only check
  std::size_t length;  // of the path of the directory being walked, in stop->path
  dev_t device;        // the target's filesystem
  int aside;
  merge_journal* journal;
};

// Names a package must not put at the top of the data directory: the record
// (written after the move) and the supervisor's temporary files.
bool is_reserved(const char* name) {
  return std::strcmp(name, ".bootchk") == 0 || is_temporary_name(name, ".bootchk.") ||
         is_temporary_name(name, ".init.bin.") || is_temporary_name(name, staging_prefix) ||
         is_temporary_name(name, kept_prefix);
}

// Appends "/<name>" (no slash at the start) to the path of the first
// `length` characters, cut at the buffer's end.
void extend_path(std::array<char, 4096>& path, std::size_t length, const char* name) {
  std::size_t at = length;
  if (at > 0 && at + 1 < path.size()) path[at++] = '/';
  for (; *name != '\0' && at + 1 < path.size(); ++name) path[at++] = *name;
  path[at] = '\0';
}

int stop_at(merge_stop* stop, int error) {
  stop->error = error;
  return -1;
}

int refuse(merge_stop* stop, const char* refusal) {
  stop->refusal = refusal;
  return -1;
}

int sanitize_directory(merge_stop* stop, int dir, std::size_t length, int depth) {
  directory_reader reader{dir};
  // Changing modes leaves the entries as they are: one pass sees them all.
  while (const char* name = next_entry(reader)) {
    extend_path(stop->path, length, name);
    struct stat status {};
    if (::fstatat(dir, name, &status, AT_SYMLINK_NOFOLLOW) != 0) return stop_at(stop, errno);
    if (S_ISLNK(status.st_mode)) continue;
    // Checked before any change: a second name may be of a file outside.
    if (S_ISREG(status.st_mode) && status.st_nlink > 1)
      return refuse(stop, "it is a hard link, refused");
    if (!S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode))
      return refuse(stop, "it is a device, FIFO or socket, refused");
    const mode_t mode = status.st_mode & 07777;
    // A raw call: the C library's fchmodat carries flag emulation we never use
    // (the entry is a file or directory of our private staging tree).
    if ((mode & dropped_bits) != 0 && ::syscall(SYS_fchmodat, dir, name, mode & ~dropped_bits) != 0)
      return stop_at(stop, errno);
    if (!S_ISDIR(status.st_mode)) continue;
    if (depth + 1 >= max_merge_depth) return stop_at(stop, ENAMETOOLONG);
    const unique_fd child(::openat(dir, name, directory_flags));
    if (!child) return stop_at(stop, errno);
    if (sanitize_directory(stop, child.get(), std::strlen(stop->path.data()), depth + 1) != 0)
      return -1;
  }
  return reader.got < 0 ? stop_at(stop, errno) : 0;
}

// Room for one more step, made before the step, so that a step done is
// always noted.
int reserve_step(merge_journal* journal, std::size_t path_length) {
  const std::size_t needed = journal->length + path_length + 2;
  if (needed <= journal->capacity) return 0;
  const std::size_t capacity = needed * 2 > 4096 ? needed * 2 : 4096;
  void* grown = std::realloc(journal->bytes.get(), capacity);
  if (grown == nullptr) return -1;
  (void)journal->bytes.release();
  journal->bytes.reset(static_cast<char*>(grown));
  journal->capacity = capacity;
  return 0;
}

void note_step(merge_journal* journal, char kind, const char* path) {
  char* at = journal->bytes.get() + journal->length;
  *at = kind;
  const std::size_t length = std::strlen(path);
  std::memcpy(at + 1, path, length + 1);
  journal->length += length + 2;
  ++journal->count;
}

using number_buffer = std::array<char, 16>;

// Renames `name` of `from` to aside/<step number>, noting it as `kind`.
int move_aside(merge_walk& walk, int from, const char* name, char kind) {
  number_buffer number;
  (void)format_into(number, "%d", walk.journal->count);
  if (reserve_step(walk.journal, std::strlen(walk.stop->path.data())) != 0)
    return stop_at(walk.stop, ENOMEM);
  if (::renameat(from, name, walk.aside, number.data()) != 0) return stop_at(walk.stop, errno);
  note_step(walk.journal, kind, walk.stop->path.data());
  return 0;
}

int move_in(merge_walk& walk, int staged, int target, const char* name) {
  if (reserve_step(walk.journal, std::strlen(walk.stop->path.data())) != 0)
    return stop_at(walk.stop, ENOMEM);
  if (::renameat(staged, name, target, name) != 0) return stop_at(walk.stop, errno);
  // Two names of one file make rename a no-op that reports success.
  struct stat left {};
  if (::fstatat(staged, name, &left, AT_SYMLINK_NOFOLLOW) == 0) return stop_at(walk.stop, EEXIST);
  note_step(walk.journal, step_moved_in, walk.stop->path.data());
  return 0;
}

int walk_directory(merge_walk& walk, int staged, int target, int depth);

int merge_directories(merge_walk& walk, int staged, int target, const char* name, int depth) {
  if (depth + 1 >= max_merge_depth) return stop_at(walk.stop, ENAMETOOLONG);
  const unique_fd staged_child(::openat(staged, name, directory_flags));
  const unique_fd target_child(::openat(target, name, directory_flags));
  struct stat status {};
  if (!staged_child || !target_child || ::fstat(target_child.get(), &status) != 0)
    return stop_at(walk.stop, errno);
  if (status.st_dev != walk.device) return stop_at(walk.stop, EXDEV);
  const std::size_t length = walk.length;
  walk.length = std::strlen(walk.stop->path.data());
  if (walk_directory(walk, staged_child.get(), target_child.get(), depth + 1) != 0) return -1;
  walk.length = length;
  extend_path(walk.stop->path, length, name);
  // Out of the way of the next read, and back in its place by an undo.
  return walk.move ? move_aside(walk, staged, name, step_merged) : 0;
}

// Checks or moves one entry. 1 when it was handled, 0 when skipped, -1.
int walk_entry(merge_walk& walk, int staged, int target, const char* name, int depth) {
  if (depth == 0 && is_reserved(name)) return 0;
  extend_path(walk.stop->path, walk.length, name);
  struct stat from {};
  struct stat to {};
  if (::fstatat(staged, name, &from, AT_SYMLINK_NOFOLLOW) != 0) return stop_at(walk.stop, errno);
  if (S_ISREG(from.st_mode) && from.st_nlink > 1)
    return refuse(walk.stop, "it is a hard link, refused");
  const bool stands = ::fstatat(target, name, &to, AT_SYMLINK_NOFOLLOW) == 0;
  if (!stands && errno != ENOENT) return stop_at(walk.stop, errno);
  if (stands && to.st_dev != walk.device) return stop_at(walk.stop, EXDEV);
  if (stands && S_ISDIR(from.st_mode) && S_ISDIR(to.st_mode))
    return merge_directories(walk, staged, target, name, depth) == 0 ? 1 : -1;
  // Nothing goes over a non-empty directory.
  if (stands && S_ISDIR(to.st_mode) && !S_ISDIR(from.st_mode) &&
      is_empty_directory(target, name) != 1)
    return stop_at(walk.stop, ENOTEMPTY);
  if (!walk.move) return 1;
  if (stands && move_aside(walk, target, name, step_set_aside) != 0) return -1;
  return move_in(walk, staged, target, name) == 0 ? 1 : -1;
}

int walk_directory(merge_walk& walk, int staged, int target, int depth) {
  directory_reader reader{staged};
  // A move takes each handled entry out of `staged`, which makes some
  // filesystems skip others in the same read: read again, but only until
  // every entry found at first is handled.
  long found = -1;
  for (long handled = 0;;) {
    rewind_entries(reader);
    long seen = 0;
    bool handled_some = false;
    while (const char* name = next_entry(reader)) {
      ++seen;
      const int result = walk_entry(walk, staged, target, name, depth);
      if (result < 0) return -1;
      if (walk.move && result == 1) {
        handled_some = true;
        ++handled;
      }
    }
    if (reader.got < 0) return stop_at(walk.stop, errno);
    if (found < 0) found = seen;
    if (!handled_some || handled >= found) return 0;
  }
}

int walk_root(int staged, int target, merge_stop* stop, bool move, int aside,
              merge_journal* journal) {
  stop->path[0] = '\0';
  struct stat from {};
  struct stat to {};
  if (::fstat(staged, &from) != 0 || ::fstat(target, &to) != 0) return stop_at(stop, errno);
  if (from.st_dev != to.st_dev) return stop_at(stop, EXDEV);
  merge_walk walk{stop, move, 0, to.st_dev, aside, journal};
  return walk_directory(walk, staged, target, 0);
}

// The previous step's start, scanning back from `end` (just past its NUL).
std::size_t previous_step(const char* bytes, std::size_t end) {
  std::size_t at = end - 1;
  while (at > 0 && bytes[at - 1] != '\0') --at;
  return at;
}

int undo_step(int staged, int target, int aside, char kind, const char* path, int step) {
  number_buffer number;
  (void)format_into(number, "%d", step);
  if (kind == step_moved_in) return ::renameat(target, path, staged, path);
  if (kind == step_set_aside) return ::renameat(aside, number.data(), target, path);
  return ::renameat(aside, number.data(), staged, path);
}

}  // namespace

int sanitize_staged(int staged, merge_stop* stop) {
  stop->path[0] = '\0';
  return sanitize_directory(stop, staged, 0, 0);
}

int check_merge(int staged, int target, merge_stop* stop) {
  return walk_root(staged, target, stop, false, -1, nullptr);
}

int merge_staged(int staged, int target, int aside, merge_journal* journal, merge_stop* stop) {
  return walk_root(staged, target, stop, true, aside, journal);
}

int undo_merge(int staged, int target, int aside, const char* aside_path,
               const merge_journal& journal) {
  static errno_text_buffer unknown;
  int result = 0;
  std::size_t end = journal.length;
  for (int step = journal.count - 1; step >= 0; --step) {
    const std::size_t at = previous_step(journal.bytes.get(), end);
    end = at;
    const char kind = journal.bytes.get()[at];
    const char* path = journal.bytes.get() + at + 1;
    if (undo_step(staged, target, aside, kind, path, step) == 0) continue;
    result = -1;
    const char* why = errno_text(errno, unknown);
    if (kind == step_moved_in) {
      say("failed to take out %s/%s: %s\n", data_directory, path, why);
    } else if (kind == step_set_aside) {
      say("failed to put back %s/%s: %s; it is in %s/%d\n", data_directory, path, why, aside_path,
          step);
    }
    // A merged directory that stays aside holds no entry of ../data/.
  }
  return result;
}
