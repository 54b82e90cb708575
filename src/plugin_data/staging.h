// Moving what tar unpacked into a private staging directory over into the
// data directory, entry by entry with rename(2), all or nothing. Main thread
// only.
#pragma once

#include <array>
#include <cstddef>

#include "util/handles.h"

// Staging directories are "<data directory>/.plugsup-unpack.XXXXXX"; tar
// unpacks into "root" inside, so the 0700 directory above keeps others out
// and the archive's own "./" member lands on "root" and goes with it. What
// the move replaces waits in "old" inside until the move is whole.
inline constexpr const char* staging_prefix = ".plugsup-unpack.";
// A staging directory whose putting back failed keeps what it holds under
// this prefix, so that no start-up removes it.
inline constexpr const char* kept_prefix = ".plugsup-kept.";
inline constexpr int max_merge_depth = 32;  // levels of directories below the data directory

// Where a check or a move stopped: the entry's path below the two roots and
// the system error, or a refusal (a static text) of what the package holds.
struct merge_stop {
  std::array<char, 4096> path{};
  int error = 0;
  const char* refusal = nullptr;
};

// Every step the move made, so that it can be undone: entries of a kind
// letter, the path below the roots and a NUL, in the order made.
struct merge_journal {
  unique_text bytes;
  std::size_t length = 0;
  std::size_t capacity = 0;
  int count = 0;
};

// Makes what tar unpacked at `staged` fit to be installed by root: takes the
// set-user-ID, set-group-ID bits and the write bits of group and others from
// every file and directory, and refuses a file with more than one name (a
// hard link may be another name of a file outside, whatever tar allowed) and
// anything but files, directories and links (device nodes, FIFOs, sockets).
// 0, or -1 with `stop` filled; nothing outside `staged` is changed.
[[nodiscard]] int sanitize_staged(int staged, merge_stop* stop);

// Whether everything below `staged` can move into `target` by the rules of
// merge_staged, each directory it merges into on the filesystem of `target`
// (a mount point there would stop the move with EXDEV): 0, or -1 with `stop`
// filled. Changes nothing.
[[nodiscard]] int check_merge(int staged, int target, merge_stop* stop);

// Moves every entry of `staged` into `target`, links never followed: a
// directory merges into a real directory of the same name; anything else
// replaces what stands there, a directory there only when it is empty
// (ENOTEMPTY otherwise). What is replaced, and each directory merged, goes
// into `aside` under the number of its step, every step into `journal`. At
// the top, ".bootchk" and names of the supervisor's temporary files are not
// moved. Each directory is read until every entry it held at first is
// handled, never longer; a rename that changes nothing is an error. 0, or -1
// with `stop` filled at the first failure: undo_merge then puts back.
[[nodiscard]] int merge_staged(int staged, int target, int aside, merge_journal* journal,
                               merge_stop* stop);

// Undoes the journal's steps, the last first, so that `target` is as it
// was. On a step that fails it prints "failed to take out <data
// directory>/<path>: <reason>" (a package's entry) or "failed to put back
// <data directory>/<path>: <reason>; it is in <aside_path>/<step>", goes on
// with the others and at the end returns -1.
[[nodiscard]] int undo_merge(int staged, int target, int aside, const char* aside_path,
                             const merge_journal& journal);
