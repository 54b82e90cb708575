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

// A temporary name beside `path`: its directory part, a dot, the base name
// without its own leading dot, and ".XXXXXX" for mkostemp. Dot-prefixed, so
// that no package's own file is taken for one: "../data//.bootchk" gives
// "../data//.bootchk.XXXXXX", "../data//init.bin" "../data//.init.bin.XXXXXX".
bool temporary_name_for(const char* path, std::array<char, 8192>& temporary) {
  const char* slash = std::strrchr(path, '/');
  const int directory_length = slash == nullptr ? 0 : static_cast<int>(slash - path + 1);
  const char* base = path + directory_length;
  if (*base == '.') ++base;
  return format_into(temporary, "%.*s.%s.XXXXXX", directory_length, path, base);
}

// A rename is durable only once its directory is written out.
void flush_directory_of(const char* path) {
  std::array<char, 4096> directory_path;
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) {
    (void)format_into(directory_path, ".");
  } else {
    (void)format_into(directory_path, "%.*s", static_cast<int>(slash - path + 1), path);
  }
  unique_fd directory(::open(directory_path.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory) (void)::fsync(directory.get());
}

// Copies what is left to read from `source` to `destination`.
int copy_descriptor(int source, int destination) {
  std::array<char, 1024> chunk;
  for (;;) {
    const ssize_t got = retry_on_eintr(::read, source, chunk.data(), chunk.size());
    if (got < 0) return -1;
    if (got == 0) return 0;
    if (write_all(destination, chunk.data(), static_cast<std::size_t>(got)) != 0) return -1;
  }
}

// What replaces a file: `bytes`, or what is left to read from `fd` when it
// is not negative.
struct file_source {
  const char* bytes;
  std::size_t length;
  int fd;
};

constexpr int no_temporary = -2;

// Fills a temporary file beside `path` with `mode`, flushes it and renames it
// over `path`: a link there is replaced, never followed, and a reader sees
// the old file or the new one whole. 0; no_temporary when the temporary file
// could not be made; -1 after a later failure. errno tells why; no
// temporary file is left behind.
int replace_with(const char* path, const file_source& source, mode_t mode) {
  std::array<char, 8192> temporary;
  if (!temporary_name_for(path, temporary)) {
    errno = ENAMETOOLONG;
    return no_temporary;
  }
  unique_fd fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!fd) return no_temporary;
  const bool filled = source.fd >= 0 ? copy_descriptor(source.fd, fd.get()) == 0
                                     : write_all(fd.get(), source.bytes, source.length) == 0;
  const bool ok = ::fchmod(fd.get(), mode) == 0 && filled && ::fsync(fd.get()) == 0 &&
                  ::close(fd.release()) == 0 && ::rename(temporary.data(), path) == 0;
  if (!ok) {
    const int error = errno;
    (void)::unlink(temporary.data());
    errno = error;
    return -1;
  }
  flush_directory_of(path);
  return 0;
}

// Runs also in the children of spawn_and_wait, which share our memory and run
// on stacks the sanitizers' runtimes do not know: no instrumentation, and
// raw calls only.
#define SHARED_CHILD_CODE __attribute__((no_sanitize("address", "thread")))

// Closes the descriptors from `first` on that /proc/self/fd lists, so that
// the cost follows what is open, not the limit. Its entries are read into a
// buffer on the stack (nothing is allocated after a fork or clone). /proc
// lists descriptors in the order of their numbers and reads on from the last
// number read, so closing as it goes skips none. 0 when done; -1 when /proc
// could not be read, the caller then closes the rest itself.
SHARED_CHILD_CODE int close_listed_descriptors(int first) {
  const long listing =
      ::syscall(SYS_openat, AT_FDCWD, "/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing < 0) return -1;
  alignas(8) char entries[1024];
  long got = 0;
  while ((got = ::syscall(SYS_getdents64, listing, entries, sizeof entries)) > 0) {
    // Each record: inode (8), offset (8), record length (2), type (1), name.
    for (long at = 0; at < got;) {
      unsigned short length = 0;
      __builtin_memcpy(&length, entries + at + 16, sizeof length);
      if (length == 0) break;
      long fd = 0;
      const char* name = entries + at + 19;
      for (; *name >= '0' && *name <= '9' && fd < 100'000'000; ++name) fd = fd * 10 + (*name - '0');
      if (*name == '\0' && name != entries + at + 19 && fd >= first && fd != listing)
        (void)::syscall(SYS_close, fd);
      at += length;
    }
  }
  (void)::syscall(SYS_close, listing);
  return got == 0 ? 0 : -1;
}

}  // namespace

SHARED_CHILD_CODE void close_descriptors_from(int first) {
  if (first < 0) first = 3;
#ifdef SYS_close_range
  // One call whatever RLIMIT_NOFILE is; kernels before 5.9 answer ENOSYS.
  if (::syscall(SYS_close_range, static_cast<unsigned>(first), ~0U, 0U) == 0) return;
#endif
  if (close_listed_descriptors(first) == 0) return;
  // No /proc: every number up to the limit, a million calls at a high one.
  const long limit = ::sysconf(_SC_OPEN_MAX);
  for (long fd = first; fd < limit; ++fd) (void)::syscall(SYS_close, fd);
}

int replace_file_atomically(const char* path, const char* bytes, int length) {
  return replace_with(path, {bytes, static_cast<std::size_t>(length), -1}, 0644) == 0 ? 0 : -1;
}

bool is_temporary_name(const char* name, const char* prefix) {
  const std::size_t prefix_length = std::strlen(prefix);
  if (std::strncmp(name, prefix, prefix_length) != 0) return false;
  const char* suffix = name + prefix_length;
  for (int i = 0; i < 6; ++i) {
    const char c = suffix[i];
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
  }
  return suffix[6] == '\0';
}

int copy_file(int source_fd, const char* destination) {
  // An existing file keeps its mode, but never a set-ID bit or others' right
  // to write: the new content is not what that mode was given to. A
  // directory there cannot be replaced.
  struct stat standing {};
  const bool exists = ::lstat(destination, &standing) == 0;
  const mode_t mode = exists && S_ISREG(standing.st_mode) ? (standing.st_mode & 0755) : 0700;
  int result = no_temporary;
  if (exists && S_ISDIR(standing.st_mode)) {
    errno = EISDIR;
  } else if (source_fd < 0) {
    errno = EBADF;
  } else {
    result = replace_with(destination, {nullptr, 0, source_fd}, mode);
  }
  if (result == no_temporary) {
    const int error = errno;
    say("Failed to read or write, in, %d, out, %d\n", source_fd, -1);
    errno = error;
  }
  return result == 0 ? 0 : -1;
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
