#include "status/lock_holder.h"

#include <sys/sysmacros.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "util/handles.h"

bool parse_lock_line(const char* line, lock_entry* entry) {
  std::array<char, 16> kind{};
  std::array<char, 16> advice{};
  std::array<char, 16> access{};
  int pid = 0;
  // Device numbers are hexadecimal, the inode decimal.
  if (std::sscanf(line, "%*d: %15s %15s %15s %d %x:%x:%llu", kind.data(), advice.data(),
                  access.data(), &pid, &entry->major, &entry->minor, &entry->inode) != 7)
    return false;
  entry->pid = pid;
  return std::strcmp(kind.data(), "FLOCK") == 0 && std::strcmp(access.data(), "WRITE") == 0 &&
         pid > 0;
}

pid_t find_lock_holder(dev_t device, ino_t inode) {
  const unique_file locks(std::fopen("/proc/locks", "re"));
  if (!locks) return -1;
  std::array<char, 256> line{};
  while (std::fgets(line.data(), line.size(), locks.get()) != nullptr) {
    lock_entry entry{};
    if (parse_lock_line(line.data(), &entry) && entry.major == major(device) &&
        entry.minor == minor(device) && entry.inode == inode)
      return entry.pid;
  }
  return 0;
}
