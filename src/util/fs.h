// File-system helpers shared by start-up, child launch and the upgrade.
#pragma once

// Closes every descriptor from `first` (3 when negative) upwards: with
// close_range, else those /proc/self/fd lists, and only without /proc every
// number up to the descriptor limit. Async-signal-safe, allocates nothing and
// makes raw system calls only: also called in a freshly forked child and in
// a child that shares our memory.
void close_descriptors_from(int first);

// Replaces the file as a whole with mode 0644: the bytes go to a temporary
// file beside it (see is_temporary_name), which is flushed and renamed over
// `path`, so a reader never sees a partial file; the directory is flushed
// too, so the new file survives a power cut. -1 on any failure; no temporary
// file is left behind.
[[nodiscard]] int replace_file_atomically(const char* path, const char* bytes, int length);

// True for the names of the temporary files above that a crash may leave:
// `prefix` and six letters or digits. The prefix is the directory-less name
// with one leading dot, its own leading dot dropped, and a final dot:
// ".bootchk." for ".bootchk", ".init.bin." for "init.bin".
[[nodiscard]] bool is_temporary_name(const char* name, const char* prefix);

// Replaces `destination` as replace_file_atomically does with a copy of what
// is left to read from `source_fd` (the caller's, left open). An existing
// file keeps its mode less set-ID bits and the write bits of group and
// others, a new one gets 0700; a link there is replaced. Prints
// "Failed to read or write, in, <source_fd>, out, -1" and returns -1 when
// `source_fd` is negative, a directory stands at `destination` or no
// temporary file can be made; also -1 when a read, write, flush or the
// rename fails. errno tells why; the old file is then untouched.
[[nodiscard]] int copy_file(int source_fd, const char* destination);

// 0 when `path` is (or now is) a directory or exists already; otherwise prints
// "mkdir (<path>) error: <reason>" without a newline and returns -1.
[[nodiscard]] int ensure_directory(const char* path);
