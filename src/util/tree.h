// Reading and removing directory trees through descriptors, with no heap and
// no recursion: main thread only.
#pragma once

#include <array>

// Entries of one directory, read through getdents64 into a small buffer of
// its own: opendir's 32 KiB heap buffer would leave pages dirty for the life
// of the daemon.
struct directory_reader {
  int fd;  // the caller's, left open
  long got = 0;
  long at = 0;
  std::array<char, 1024> entries{};
};

// The next name other than "." and "..", or null at the end; `got` is then
// negative when the read failed.
[[nodiscard]] const char* next_entry(directory_reader& reader);

// Reads again from the first entry. Removing entries while reading makes
// some filesystems (those that count entries for the position) skip others:
// whoever removes reads again until a pass removes nothing.
void rewind_entries(directory_reader& reader);

// 1 when the directory `name` in `parent` holds no entry, 0 when it holds
// some or cannot be read.
[[nodiscard]] int is_empty_directory(int parent, const char* name);

// Removes `name` in the directory `parent` with everything below it; links
// are removed, never followed. Goes down and back up through ".." instead of
// recursing, so any depth is removed: only for trees nobody else can enter.
// 0 when it is gone (or was missing), -1 with errno set otherwise.
[[nodiscard]] int remove_tree(int parent, const char* name);
