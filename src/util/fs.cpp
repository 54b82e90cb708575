#include "util/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <libgen.h>
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

namespace {

// Writes all bytes, resuming short writes. 0, or -1 when a write fails.
int write_all(int fd, const char* bytes, std::size_t length) {
  while (length > 0) {
    const ssize_t done = ::write(fd, bytes, length);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return -1;
    bytes += done;
    length -= static_cast<std::size_t>(done);
  }
  return 0;
}

// Directory part and base name of `path` (POSIX forms, on copies).
struct split_path {
  std::array<char, 8192> directory{};
  std::array<char, 8192> base{};
};

bool split(const char* path, split_path* parts) {
  // dirname and basename may write into their argument: work on a copy.
  std::array<char, 8192> copy{};
  if (!format_into(copy, "%s", path)) return false;
  (void)format_into(parts->directory, "%s", ::dirname(copy.data()));
  (void)format_into(copy, "%s", path);
  (void)format_into(parts->base, "%s", ::basename(copy.data()));
  return true;
}

// A rename is durable only once its directory is written out.
void flush_directory_of(const char* path) {
  split_path parts;
  if (!split(path, &parts)) return;
  unique_fd directory(::open(parts.directory.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
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
  std::array<char, 8192> temporary{};
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
  split_path parts;
  if (!split(path, &parts)) return;
  DIR* directory = ::opendir(parts.directory.data());
  if (directory == nullptr) return;
  const int directory_fd = ::dirfd(directory);
  while (const dirent* entry = ::readdir(directory)) {
    if (!is_leftover_name(entry->d_name, parts.base.data())) continue;
    (void)::unlinkat(directory_fd, entry->d_name, 0);  // a directory of that name stays
  }
  (void)::closedir(directory);
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
  std::array<char, 1024> chunk{};
  for (;;) {
    const ssize_t got = ::read(source_fd, chunk.data(), chunk.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    if (write_all(out.get(), chunk.data(), static_cast<std::size_t>(got)) != 0) return -1;
  }
  return ::close(out.release()) == 0 ? 0 : -1;
}

int ensure_directory(const char* path) {
  if (DIR* dir = ::opendir(path)) {
    (void)::closedir(dir);
    return 0;
  }
  if (::mkdir(path, 0777) == 0 || errno == EEXIST) return 0;
  say("mkdir (%s) error: %s", path, std::strerror(errno));
  return -1;
}
