#include "util/tree.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "util/handles.h"

namespace {

constexpr int directory_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int level_cleared = -1;
constexpr int level_stuck = -2;

// Removes what can go of the directory `dir`: every entry that is no
// directory, and empty directories. The descriptor of a directory in it that
// is not empty yet, level_cleared when `dir` is empty now, or level_stuck.
int clear_level(int dir) {
  directory_reader reader{dir};
  bool removed_some = true;
  while (removed_some) {
    removed_some = false;
    rewind_entries(reader);
    while (const char* name = next_entry(reader)) {
      if (::unlinkat(dir, name, 0) == 0 ||
          (errno == EISDIR && ::unlinkat(dir, name, AT_REMOVEDIR) == 0)) {
        removed_some = true;
        continue;
      }
      if (errno != ENOTEMPTY && errno != EEXIST) return level_stuck;
      const int child = ::openat(dir, name, directory_flags);
      return child >= 0 ? child : level_stuck;
    }
    if (reader.got < 0) return level_stuck;
  }
  return level_cleared;
}

}  // namespace

const char* next_entry(directory_reader& reader) {
  for (;;) {
    if (reader.at >= reader.got) {
      reader.got =
          ::syscall(SYS_getdents64, reader.fd, reader.entries.data(), reader.entries.size());
      reader.at = 0;
      if (reader.got <= 0) return nullptr;
    }
    // Each record: inode (8), offset (8), record length (2), type (1), name.
    unsigned short length = 0;
    std::memcpy(&length, reader.entries.data() + reader.at + 16, sizeof length);
    if (length == 0) {
      reader.got = -1;
      return nullptr;
    }
    const char* name = reader.entries.data() + reader.at + 19;
    reader.at += length;
    if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) return name;
  }
}

void rewind_entries(directory_reader& reader) {
  (void)::lseek(reader.fd, 0, SEEK_SET);
  reader.got = 0;
  reader.at = 0;
}

int is_empty_directory(int parent, const char* name) {
  const unique_fd dir(::openat(parent, name, directory_flags));
  if (!dir) return 0;
  directory_reader reader{dir.get()};
  return next_entry(reader) == nullptr && reader.got == 0 ? 1 : 0;
}

int remove_tree(int parent, const char* name) {
  if (::unlinkat(parent, name, AT_REMOVEDIR) == 0 || errno == ENOENT) return 0;
  if (errno == ENOTDIR) return ::unlinkat(parent, name, 0);
  unique_fd dir(::openat(parent, name, directory_flags));
  if (!dir) return -1;
  // Every descent clears a directory whole or stops here, so the climb
  // back always finds its child removable.
  for (int depth = 0;;) {
    const int next = clear_level(dir.get());
    if (next == level_stuck) return -1;
    if (next >= 0) {
      dir.reset(next);
      ++depth;
      continue;
    }
    if (depth == 0) break;
    dir.reset(::openat(dir.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return -1;
    --depth;
  }
  dir.reset();
  return ::unlinkat(parent, name, AT_REMOVEDIR);
}
