#include "status/proc_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/format.h"
#include "util/handles.h"
#include "util/retry.h"

namespace {

// Fills `buffer` with up to its size less one byte of the file, terminated.
// The bytes read, or -1 with errno set.
ssize_t read_small_file(const char* path, char* buffer, std::size_t size) {
  const unique_fd file(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!file) return -1;
  std::size_t got = 0;
  while (got + 1 < size) {
    const ssize_t n = retry_on_eintr(::read, file.get(), buffer + got, size - 1 - got);
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  buffer[got] = '\0';
  return static_cast<ssize_t>(got);
}

long long boot_time_s() {
  static long long boot = -2;
  if (boot != -2) return boot;
  boot = -1;
  const unique_file stat_file(std::fopen("/proc/stat", "re"));
  if (!stat_file) return boot;
  // The interrupt line alone may be longer than any buffer: look only at
  // pieces that start a line.
  std::array<char, 256> piece{};
  bool line_start = true;
  while (std::fgets(piece.data(), piece.size(), stat_file.get()) != nullptr) {
    if (line_start && std::strncmp(piece.data(), "btime ", 6) == 0) {
      boot = std::strtoll(piece.data() + 6, nullptr, 10);
      break;
    }
    line_start = std::strchr(piece.data(), '\n') != nullptr;
  }
  return boot;
}

}  // namespace

bool parse_process_stat(const char* text, process_stat* stat) {
  const char* fields = std::strrchr(text, ')');
  if (fields == nullptr) return false;
  // After the name: state (field 3), ppid (4), ... num_threads (20), itrealvalue, starttime (22).
  long long values[20] = {};
  int count = 0;
  for (const char* at = fields + 1; count < 20;) {
    while (*at == ' ') ++at;
    if (*at == '\0' || *at == '\n') return false;
    char* end = nullptr;
    values[count] = count == 0 ? 0 : std::strtoll(at, &end, 10);
    if (count > 0 && (end == at || (*end != ' ' && *end != '\n' && *end != '\0'))) return false;
    while (*at != ' ' && *at != '\0' && *at != '\n') ++at;
    ++count;
  }
  stat->ppid = static_cast<pid_t>(values[1]);
  stat->threads = static_cast<long>(values[17]);
  stat->start_ticks = static_cast<unsigned long long>(values[19]);
  return true;
}

bool read_process_stat(pid_t pid, process_stat* stat) {
  std::array<char, 64> path{};
  (void)format_into(path, "/proc/%d/stat", static_cast<int>(pid));
  std::array<char, 1024> text{};
  if (read_small_file(path.data(), text.data(), text.size()) < 0) return false;
  if (parse_process_stat(text.data(), stat)) return true;
  errno = EINVAL;
  return false;
}

bool read_command_text(pid_t pid, command_text* text) {
  std::array<char, 64> path{};
  (void)format_into(path, "/proc/%d/cmdline", static_cast<int>(pid));
  const ssize_t got = read_small_file(path.data(), text->bytes.data(), text->bytes.size());
  if (got < 0) return false;
  text->length = static_cast<std::size_t>(got);
  return true;
}

const char* argument_at(const command_text& text, int index) {
  std::size_t at = 0;
  for (int i = 0; i < index && at < text.length; ++i) at += std::strlen(text.bytes.data() + at) + 1;
  return at < text.length ? text.bytes.data() + at : nullptr;
}

bool read_process_directory(pid_t pid, std::array<char, 4096>& directory) {
  std::array<char, 64> path{};
  (void)format_into(path, "/proc/%d/cwd", static_cast<int>(pid));
  const ssize_t length = ::readlink(path.data(), directory.data(), directory.size() - 1);
  if (length < 0) return false;
  directory[static_cast<std::size_t>(length)] = '\0';
  return true;
}

long long process_started_s(const process_stat& stat) {
  const long long boot = boot_time_s();
  const long ticks_per_s = ::sysconf(_SC_CLK_TCK);
  if (boot < 0 || ticks_per_s <= 0) return -1;
  return boot + static_cast<long long>(stat.start_ticks / static_cast<unsigned long>(ticks_per_s));
}

bool parse_effective_uid(const char* status_text, unsigned int* uid) {
  for (const char* line = status_text; line != nullptr && *line != '\0';) {
    unsigned int real = 0;
    if (std::sscanf(line, "Uid: %u %u", &real, uid) == 2) return true;
    line = std::strchr(line, '\n');
    if (line != nullptr) ++line;
  }
  return false;
}

bool read_process_identity(pid_t pid, process_identity* identity) {
  std::array<char, 64> path{};
  std::array<char, 4096> text{};
  (void)format_into(path, "/proc/%d/status", static_cast<int>(pid));
  if (read_small_file(path.data(), text.data(), text.size()) < 0) return false;
  if (!parse_effective_uid(text.data(), &identity->uid)) {
    errno = EINVAL;
    return false;
  }
  (void)format_into(path, "/proc/%d/comm", static_cast<int>(pid));
  if (read_small_file(path.data(), identity->command.data(), identity->command.size()) < 0)
    return false;
  if (char* newline = std::strchr(identity->command.data(), '\n')) *newline = '\0';
  return true;
}
