#include "core/run_file.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>

#include "util/format.h"
#include "util/retry.h"

namespace {

// Fixed, whatever the size of the file: compaction moves it chunk by chunk.
inline constexpr off_t chunk_bytes = 4096;
using chunk_buffer = std::array<char, chunk_bytes>;
inline constexpr off_t first_line_max_bytes = 4096;

std::size_t chunk_length(off_t from, off_t end) {
  return static_cast<std::size_t>(std::min(end - from, chunk_bytes));
}

ssize_t read_at(int fd, char* bytes, std::size_t length, off_t at) {
  return retry_on_eintr(::pread, fd, bytes, length, at);
}

bool write_at(int fd, const char* bytes, std::size_t length, off_t at) {
  while (length > 0) {
    const ssize_t done = retry_on_eintr(::pwrite, fd, bytes, length, at);
    if (done <= 0) return false;
    bytes += done;
    at += done;
    length -= static_cast<std::size_t>(done);
  }
  return true;
}

// Offset just past the first newline at or after `from`, or -1 when there is
// none before `end`.
off_t after_next_newline(int fd, off_t from, off_t end, chunk_buffer& chunk) {
  while (from < end) {
    const ssize_t got = read_at(fd, chunk.data(), chunk_length(from, end), from);
    if (got <= 0) return -1;
    if (const void* newline = std::memchr(chunk.data(), '\n', static_cast<std::size_t>(got)))
      return from + (static_cast<const char*>(newline) - chunk.data()) + 1;
    from += got;
  }
  return -1;
}

// Keeps the first line (the supervisor's directory) and the newest whole
// lines within `tail_budget` bytes, in place: the same inode and descriptor
// carry the instance lock. Returns the new end of the file.
off_t compact_run_file(int fd, off_t end, off_t tail_budget) {
  chunk_buffer chunk{};
  // The first line is a directory of at most 4095 bytes: the scan for its end
  // stops there, so a file grown huge (or sparse) cannot stall the loop.
  off_t first_end = after_next_newline(fd, 0, std::min<off_t>(end, first_line_max_bytes), chunk);
  if (first_end < 0) first_end = 0;  // no first line to keep
  off_t cut = end;
  if (tail_budget > 0) {
    // The file ends with a whole line, so the line after the first newline at
    // or after the budget's start is the oldest one that fits whole.
    const off_t search_from = std::max(first_end, end - tail_budget) - 1;
    cut = search_from < first_end ? first_end : after_next_newline(fd, search_from, end, chunk);
    if (cut < 0) cut = end;
  }
  off_t to = first_end;
  for (off_t from = cut; from < end;) {
    const ssize_t got = read_at(fd, chunk.data(), chunk_length(from, end), from);
    // Half moved would mix old and new lines: keep the first line alone.
    if (got <= 0 || !write_at(fd, chunk.data(), static_cast<std::size_t>(got), to)) {
      to = first_end;
      break;
    }
    from += got;
    to += got;
  }
  (void)!::ftruncate(fd, to);
  return to;
}

// The main thread and the watchdog share the descriptor and its offset.
// A plain pthread mutex keeps the daemon free of libstdc++ at run time.
pthread_mutex_t append_lock = PTHREAD_MUTEX_INITIALIZER;
// Where our last append left the end of the file, -1 when unknown; guarded
// by append_lock.
off_t appended_end = -1;

}  // namespace

void replace_run_file(int descriptor, int replacement) {
  (void)::pthread_mutex_lock(&append_lock);
  (void)::dup3(replacement, descriptor, O_CLOEXEC);
  appended_end = -1;
  (void)::pthread_mutex_unlock(&append_lock);
  (void)::close(replacement);
}

int append_to_run_file(int descriptor, const char* bytes, int length, off_t seen_size) {
  if (descriptor <= 0) return -1;
  (void)::pthread_mutex_lock(&append_lock);
  // The size seen is the end unless an append of ours moved it since; one
  // that left it where it was leaves it right too.
  off_t end =
      seen_size >= 0 && seen_size == appended_end ? seen_size : ::lseek(descriptor, 0, SEEK_END);
  if (end >= 0 && end + length > run_file_cap_bytes) {
    const off_t budget = std::min<off_t>(run_file_kept_tail_bytes, run_file_cap_bytes - length);
    end = compact_run_file(descriptor, end, budget);
  }
  // A line that cannot fit even after compaction is dropped.
  if (end >= 0 && end + length <= run_file_cap_bytes) {
    const ssize_t done =
        retry_on_eintr(::pwrite, descriptor, bytes, static_cast<std::size_t>(length), end);
    // A full /tmp: no half line may stay behind to merge with the next one.
    if (done >= 0 && done < length) (void)!::ftruncate(descriptor, end);
    end = done == length ? end + length : -1;
  }
  appended_end = end;
  (void)::pthread_mutex_unlock(&append_lock);
  return 0;
}

int append_exit_line(int code, int normal_exit, const char* name, int run_fd, off_t seen_size) {
  std::array<char, 64> stamp{};
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (::localtime_r(&now, &local) == nullptr || ::asctime_r(&local, stamp.data()) == nullptr)
    stamp[0] = '\0';
  stamp[63] = '\0';
  const std::size_t stamp_length = std::strlen(stamp.data());
  if (stamp_length > 0) stamp[stamp_length - 1] = '\0';  // asctime's newline

  std::array<char, 256> line{};
  const bool whole =
      normal_exit == 1
          ? format_into(line, "%s: %s exited normally with code(%d)\n", stamp.data(), name, code)
          : format_into(line, "%s: %s killed by signal(%d)\n", stamp.data(), name, code);
  // A cut line keeps its newline, so the next event starts a line of its own.
  if (!whole) line[line.size() - 2] = '\n';
  return append_to_run_file(run_fd, line.data(), static_cast<int>(std::strlen(line.data())),
                            seen_size);
}
