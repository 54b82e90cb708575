// Moving what tar unpacked into a private staging directory over into the
// data directory, entry by entry with rename(2). Main thread only.
#pragma once

#include <array>

// Staging directories are "<data directory>/.plugsup-unpack.XXXXXX"; tar
// unpacks into "root" inside, so the 0700 directory above keeps others out
// and the archive's own "./" member lands on "root" and goes with it.
inline constexpr const char* staging_prefix = ".plugsup-unpack.";
inline constexpr int max_merge_depth = 32;  // levels of directories below the data directory

// Where a check or a move stopped: the entry's path below the two roots and
// the system error.
struct merge_stop {
  std::array<char, 4096> path{};
  int error = 0;
};

// Whether everything below `staged` can move into `target` by the rules of
// merge_staged: 0, or -1 with `stop` filled. Changes nothing.
[[nodiscard]] int check_merge(int staged, int target, merge_stop* stop);

// Moves every entry of `staged` into `target`, links never followed: a
// directory merges into a real directory of the same name; anything else
// replaces what stands there, a directory there only when it is empty
// (ENOTEMPTY otherwise). At the top, ".bootchk" and names of the supervisor's
// temporary files are not moved. Entries moved go from `staged`. 0, or -1
// with `stop` filled at the first failure (what was moved before stays).
[[nodiscard]] int merge_staged(int staged, int target, merge_stop* stop);
