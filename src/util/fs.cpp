#include "util/fs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "util/format.h"
#include "util/handles.h"
#include "util/output.h"
#include "util/retry.h"

namespace {

// Writes all bytes, resuming short writes. 0, or -1 when a write fails.
int write_all(int fd, const char* bytes, std::size_t length) {
  while (length > 0) {
    const ssize_t done = retry_on_eintr(::write, fd, bytes, length);
    if (done <= 0) return -1;
    bytes += done;
    length -= static_cast<std::size_t>(done);
  }
  return 0;
}

// The directory part of `path` (up to its last slash, or "." without one)
// into `directory`; the base name, inside `path`. Small and without copies of
// the whole path: these run on the daemon's own stack, whose pages stay.
const char* split(const char* path, std::array<char, 4096>& directory) {
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) {
    (void)format_into(directory, ".");
    return path;
  }
  (void)format_into(directory, "%.*s", static_cast<int>(slash - path + 1), path);
  return slash + 1;
}

// A rename is durable only once its directory is written out.
void flush_directory_of(const char* path) {
  std::array<char, 4096> directory_path;
  (void)split(path, directory_path);
  unique_fd directory(::open(directory_path.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory) (void)::fsync(directory.get());
}

// mkostemp's six characters: letters and digits.
bool is_leftover_name(const char* name, const char* base) {
  const std::size_t base_length = std::strlen(base);
  if (std::strncmp(name, base, base_length) != 0 || name[base_length] != '.') return false;
  const char* suffix = name + base_length + 1;
  for (int i = 0; i < 6; ++i) {
    const char c = suffix[i];
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
  }
  return suffix[6] == '\0';
}

}  // namespace

void close_descriptors_from(int first) {
  if (first <= 0) first = 3;
#ifdef SYS_close_range
  // One call whatever RLIMIT_NOFILE is; older kernels answer ENOSYS.
  if (::syscall(SYS_close_range, static_cast<unsigned>(first), ~0U, 0U) == 0) return;
#endif
  const long limit = ::sysconf(_SC_OPEN_MAX);
  for (long fd = first; fd < limit; ++fd) (void)::close(static_cast<int>(fd));
}

int replace_file_atomically(const char* path, const char* bytes, int length) {
  std::array<char, 8192> temporary;
  if (!format_into(temporary, "%s.XXXXXX", path)) return -1;
  unique_fd fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!fd) return -1;
  const bool ok = ::fchmod(fd.get(), 0644) == 0 &&
                  write_all(fd.get(), bytes, static_cast<std::size_t>(length)) == 0 &&
                  ::fsync(fd.get()) == 0 && ::close(fd.release()) == 0 &&
                  ::rename(temporary.data(), path) == 0;
  if (!ok) {
    (void)::unlink(temporary.data());
    return -1;
  }
  flush_directory_of(path);
  return 0;
}

void remove_replacement_leftovers(const char* path) {
  std::array<char, 4096> directory_path;
  const char* base = split(path, directory_path);
  const unique_fd directory(::open(directory_path.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory) return;
  // Entries read straight into a small buffer: opendir's 32 KiB heap buffer
  // would leave pages dirty for the life of the daemon.
  alignas(8) std::array<char, 2048> entries;
  for (;;) {
    const long got = ::syscall(SYS_getdents64, directory.get(), entries.data(), entries.size());
    if (got <= 0) return;
    // Each record: inode (8), offset (8), record length (2), type (1), name.
    for (long at = 0; at < got;) {
      unsigned short length = 0;
      std::memcpy(&length, entries.data() + at + 16, sizeof length);
      if (length == 0) return;
      const char* name = entries.data() + at + 19;
      if (is_leftover_name(name, base))
        (void)::unlinkat(directory.get(), name, 0);  // a directory of that name stays
      at += length;
    }
  }
}

int copy_file(int source_fd, const char* destination) {
  // Opening the destination truncates it: do not lose it when there is
  // nothing to copy into it.
  unique_fd out;
  if (source_fd >= 0)
    out.reset(::open(destination, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0700));
  if (source_fd < 0 || !out) {
    say("Failed to read or write, in, %d, out, %d\n", source_fd, out.get());
    return -1;
  }
  std::array<char, 1024> chunk;
  for (;;) {
    const ssize_t got = retry_on_eintr(::read, source_fd, chunk.data(), chunk.size());
    if (got < 0) return -1;
    if (got == 0) break;
    if (write_all(out.get(), chunk.data(), static_cast<std::size_t>(got)) != 0) return -1;
  }
  return ::close(out.release()) == 0 ? 0 : -1;
}

int ensure_directory(const char* path) {
  // Opened as a directory without opendir, whose 32 KiB entry buffer would
  // leave heap pages dirty for the life of the daemon.
  if (const int dir = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
    (void)::close(dir);
    return 0;
  }
  if (::mkdir(path, 0777) == 0 || errno == EEXIST) return 0;
  say("mkdir (%s) error: %s", path, std::strerror(errno));
  return -1;
}
