// File-system helpers shared by start-up, child launch and the upgrade.
#pragma once

// Closes every descriptor from `first` (3 when not positive) upwards.
// Async-signal-safe: also called in a freshly forked child.
void close_descriptors_from(int first);

// Replaces the file as a whole: the bytes go to a temporary file beside it,
// "<path>.XXXXXX", which is flushed and renamed over `path`, so a reader never
// sees a partial file; the directory is flushed too, so the new file survives
// a power cut. -1 on any failure; no temporary file is left behind.
[[nodiscard]] int replace_file_atomically(const char* path, const char* bytes, int length);

// Removes the temporary files of replace_file_atomically that a crash left
// beside `path`: names of exactly "<base name>." and six letters or digits.
void remove_replacement_leftovers(const char* path);

// Copies what is left to read from `source_fd` (the caller's, left open) to
// `destination` (created with mode 0700, truncated when it exists). Prints its
// message and returns -1 when `source_fd` is negative or the destination
// cannot be opened; also -1 when a read or write fails.
[[nodiscard]] int copy_file(int source_fd, const char* destination);

// 0 when `path` is (or now is) a directory or exists already; otherwise prints
// "mkdir (<path>) error: <reason>" without a newline and returns -1.
[[nodiscard]] int ensure_directory(const char* path);
