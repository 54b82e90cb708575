#include "supervision/kill_by_name.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "util/handles.h"
#include "util/retry.h"
#include "util/spawn.h"
#include "util/tree.h"

void kill_by_name(const char* name) {
  // The name is one argument, never shell text: a configured name such as
  // "x;reboot" must not run anything. "--" keeps a name like "-e" a name, and
  // is passed only then: some killall programs take it for one more name.
  const bool looks_like_option = name[0] == '-';
  char* const argv[] = {const_cast<char*>("killall"), const_cast<char*>("-9"),
                        const_cast<char*>(looks_like_option ? "--" : name),
                        looks_like_option ? const_cast<char*>(name) : nullptr, nullptr};
  (void)spawn_and_wait("killall", argv, -1);
}

namespace {

inline constexpr std::size_t kept_command_bytes = 15;
inline constexpr std::size_t long_argument_bytes = 255;

const char* file_name_of(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash == nullptr ? path : slash + 1;
}

// Argument `index` of a command line, or null when it has none or it is cut
// off by the end of what was read.
const char* argument_at(const process_names& process, int index) {
  std::size_t at = 0;
  for (int i = 0;; ++i) {
    if (at >= process.arguments_length) return nullptr;
    const void* end = std::memchr(process.arguments + at, '\0', process.arguments_length - at);
    if (end == nullptr) return nullptr;
    if (i == index) return process.arguments + at;
    at = static_cast<std::size_t>(static_cast<const char*>(end) - process.arguments) + 1;
  }
}

// Reads a small file of /proc/<pid>/ whole, NUL-ended: its length, or -1 with
// errno set.
long read_proc_file(int proc, const char* pid, const char* file, char* text, std::size_t size) {
  std::array<char, 64> path;
  (void)std::snprintf(path.data(), path.size(), "%s/%s", pid, file);
  const unique_fd fd(::openat(proc, path.data(), O_RDONLY | O_CLOEXEC));
  const ssize_t got = fd ? retry_on_eintr(::read, fd.get(), text, size - 1) : -1;
  if (got >= 0) text[got] = '\0';
  return got;
}

// A process that ended meanwhile is no longer there to kill.
bool unreadable() { return errno != ENOENT && errno != ESRCH; }

// Whether the process of one /proc entry may be taken for one of the names.
// Read on the stack, which the wait after every launch cycle gives back.
bool may_be_any_of(int proc, const char* pid, const char* const* names, int count) {
  std::array<char, 512> stat;
  if (read_proc_file(proc, pid, "stat", stat.data(), stat.size()) < 0) return unreadable();
  // "pid (name) state ...": the name may hold ')' itself, the state follows the last.
  char* open = std::strchr(stat.data(), '(');
  char* close = std::strrchr(stat.data(), ')');
  if (open == nullptr || close == nullptr || close < open || close[1] != ' ') return true;
  // A zombie or a dying process takes no more signals, unless only its first
  // thread ended: the others (the 20th field counts them) still run.
  if (close[2] != '\0' && std::strchr("ZXx", close[2]) != nullptr) {
    const char* field = close + 1;
    for (int i = 3; i < 20 && field != nullptr; ++i) field = std::strchr(field + 1, ' ');
    if (field != nullptr && std::strncmp(field, " 1 ", 3) == 0) return false;
  }
  *close = '\0';
  std::array<char, 4352> arguments;
  const long length = read_proc_file(proc, pid, "cmdline", arguments.data(), arguments.size());
  if (length < 0) return unreadable();
  std::array<char, 4097> executable;
  std::array<char, 64> path;
  (void)std::snprintf(path.data(), path.size(), "%s/exe", pid);
  const ssize_t link = ::readlinkat(proc, path.data(), executable.data(), executable.size() - 1);
  executable[link > 0 ? static_cast<std::size_t>(link) : 0] = '\0';
  const process_names process{open + 1, arguments.data(), static_cast<std::size_t>(length),
                              executable.data()};
  // A command line cut off by the buffer may hide its second argument.
  if (static_cast<std::size_t>(length) == arguments.size() - 1 &&
      argument_at(process, 1) == nullptr)
    return true;
  for (int i = 0; i < count; ++i)
    if (may_be_named(process, names[i])) return true;
  return false;
}

}  // namespace

bool may_be_named(const process_names& process, const char* name) {
  if (name[0] == '\0' || std::strchr(name, '/') != nullptr) return true;
  if (std::strncmp(process.command, name, kept_command_bytes) == 0) return true;
  for (int i = 0; i < 2; ++i) {
    const char* argument = argument_at(process, i);
    if (argument == nullptr) continue;
    if (std::strcmp(file_name_of(argument), name) == 0) return true;
    // A killall may read only the start of a long command line (busybox's
    // reads 1 KiB): cut after any of its parts, the name may end it.
    if (std::strlen(argument) > long_argument_bytes)
      for (const char* part = argument; part != nullptr; part = std::strchr(part + 1, '/'))
        if (std::strncmp(part + (*part == '/'), name, std::strlen(name)) == 0) return true;
  }
  return process.executable[0] != '\0' && std::strcmp(file_name_of(process.executable), name) == 0;
}

bool any_may_be_named(const char* const* names, int count) {
  const unique_fd proc(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!proc) return true;
  directory_reader reader{proc.get()};
  bool some_process = false;
  while (const char* entry = next_entry(reader)) {
    if (entry[0] < '1' || entry[0] > '9') continue;
    some_process = true;
    if (may_be_any_of(proc.get(), entry, names, count)) return true;
  }
  // Without a single process seen (not even us) this is no /proc.
  return reader.got < 0 || !some_process;
}
