#include "startup/uci_directory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstring>

#include "util/format.h"

const char* uci_directory_refusal(const char* path) {
  // Without its trailing slashes, so that lstat looks at a link itself.
  std::array<char, 4096> name;
  (void)format_into(name, "%s", path);
  for (std::size_t length = std::strlen(name.data()); length > 1 && name[length - 1] == '/';)
    name[--length] = '\0';
  struct stat status {};
  if (::lstat(name.data(), &status) != 0) return nullptr;
  if (S_ISLNK(status.st_mode)) return "it is a symbolic link";
  if (S_ISDIR(status.st_mode) && status.st_uid != 0 && status.st_uid != ::geteuid())
    return "it is owned by another user";
  return nullptr;
}
