#include "status/run_file_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/run_file.h"
#include "util/format.h"
#include "util/retry.h"

namespace {

// Reads up to `size` bytes at `at`; the count read, or -1.
ssize_t read_at(int fd, char* buffer, std::size_t size, off_t at) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n =
        retry_on_eintr(::pread, fd, buffer + got, size - got, at + static_cast<off_t>(got));
    if (n < 0) return got > 0 ? static_cast<ssize_t>(got) : -1;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

bool is_code(const char* text, std::size_t length) {
  std::size_t i = length > 0 && text[0] == '-' ? 1 : 0;
  if (i == length) return false;
  for (; i < length; ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  return true;
}

// "<time>: <name> exited normally with code(<n>)" or "... killed by signal(<n>)".
// The time stamp holds no ": ", so the name starts after the first one.
bool is_exit_line_of(const char* line, std::size_t length, const char* name) {
  std::size_t separator = 0;
  while (separator + 1 < length && (line[separator] != ':' || line[separator + 1] != ' '))
    ++separator;
  if (separator + 1 >= length) return false;
  const char* rest = line + separator + 2;
  const std::size_t rest_length = length - static_cast<std::size_t>(rest - line);
  const std::size_t name_length = std::strlen(name);
  if (rest_length <= name_length || std::memcmp(rest, name, name_length) != 0) return false;
  const char* tail = rest + name_length;
  const std::size_t tail_length = rest_length - name_length;
  if (tail[tail_length - 1] != ')') return false;
  for (const char* form : {" exited normally with code(", " killed by signal("}) {
    const std::size_t form_length = std::strlen(form);
    if (tail_length > form_length && std::memcmp(tail, form, form_length) == 0)
      return is_code(tail + form_length, tail_length - form_length - 1);
  }
  return false;
}

bool is_not_alive_line_of(const char* line, std::size_t length, const char* name) {
  static constexpr const char suffix[] = " is not alive, and we will kill it.";
  const std::size_t name_length = std::strlen(name);
  return length == name_length + sizeof suffix - 1 && std::memcmp(line, name, name_length) == 0 &&
         std::memcmp(line + name_length, suffix, sizeof suffix - 1) == 0;
}

}  // namespace

int open_run_file(int uci_fd, const char* file_name, struct stat* status) {
  unique_fd file(::openat(uci_fd, file_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file) return -1;
  if (::fstat(file.get(), status) != 0) return -1;
  if (!S_ISREG(status->st_mode)) {
    errno = EINVAL;
    return -1;
  }
  return file.release();
}

void read_recorded_directory(int fd, std::array<char, 4096>& directory) {
  const ssize_t got = read_at(fd, directory.data(), directory.size() - 1, 0);
  directory[got > 0 ? static_cast<std::size_t>(got) : 0] = '\0';
  if (char* newline = std::strchr(directory.data(), '\n')) *newline = '\0';
}

unique_text read_event_lines(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return nullptr;
  // The supervisor keeps the file below its cap; a larger one (or one that
  // grows while it is read) is read from its newest end.
  const off_t size = status.st_size;
  const off_t from = size > run_file_cap_bytes ? size - run_file_cap_bytes : 0;
  unique_text text(static_cast<char*>(std::malloc(run_file_cap_bytes + 1)));
  if (!text) return nullptr;
  const ssize_t got = read_at(fd, text.get(), run_file_cap_bytes, from);
  if (got < 0) return nullptr;
  text.get()[got] = '\0';
  // Skip the first line, or the part of a line before the window.
  const char* newline = std::strchr(text.get(), '\n');
  const std::size_t skip = newline != nullptr ? static_cast<std::size_t>(newline - text.get()) + 1
                                              : static_cast<std::size_t>(got);
  std::memmove(text.get(), text.get() + skip, static_cast<std::size_t>(got) - skip + 1);
  return text;
}

void tally_endings(const char* lines, const char* name, program_endings* endings) {
  endings->endings = 0;
  endings->last[0] = '\0';
  bool after_not_alive = false;
  std::array<char, 4160> not_alive{};
  for (const char* line = lines; *line != '\0';) {
    const char* end = std::strchr(line, '\n');
    const std::size_t length =
        end != nullptr ? static_cast<std::size_t>(end - line) : std::strlen(line);
    const int shown = static_cast<int>(length);
    if (is_not_alive_line_of(line, length, name)) {
      (void)format_into(not_alive, "%.*s", shown, line);
      (void)format_into(endings->last, "%s", not_alive.data());
      after_not_alive = true;
    } else if (is_exit_line_of(line, length, name)) {
      ++endings->endings;
      if (after_not_alive)
        (void)format_into(endings->last, "%s\n%.*s", not_alive.data(), shown, line);
      else
        (void)format_into(endings->last, "%.*s", shown, line);
      after_not_alive = false;
    }
    line += length + (end != nullptr ? 1 : 0);
  }
}
