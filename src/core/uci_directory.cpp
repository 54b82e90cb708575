#include "core/uci_directory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "util/format.h"
#include "util/handles.h"
#include "util/output.h"

namespace {

using name_buffer = std::array<char, 4096>;

// Without its trailing slashes, so that lstat and O_NOFOLLOW look at a link itself.
void strip_trailing_slashes(const char* path, name_buffer& name) {
  (void)format_into(name, "%s", path);
  for (std::size_t length = std::strlen(name.data()); length > 1 && name[length - 1] == '/';)
    name[--length] = '\0';
}

const char* owner_refusal(const struct stat& status) {
  if (S_ISDIR(status.st_mode) && status.st_uid != 0 && status.st_uid != ::geteuid())
    return "it is owned by another user";
  return nullptr;
}

}  // namespace

const char* uci_directory_refusal(const char* path) {
  name_buffer name;
  strip_trailing_slashes(path, name);
  struct stat status {};
  if (::lstat(name.data(), &status) != 0) return nullptr;
  if (S_ISLNK(status.st_mode)) return "it is a symbolic link";
  return owner_refusal(status);
}

int prepare_uci_directory(const char* path) {
  const char* refusal = uci_directory_refusal(path);
  // The umask must not decide who may write here; mkdir alone would obey it.
  const bool created = refusal == nullptr && ::mkdir(path, 0755) == 0;
  if (refusal == nullptr && !created && errno != EEXIST) {
    say("mkdir (%s) error: %s", path, std::strerror(errno));
    return -1;
  }
  name_buffer name;
  strip_trailing_slashes(path, name);
  const unique_fd directory(::open(name.data(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat status {};
  // Looked at again through the descriptor: a directory made by someone else
  // between the checks above is refused all the same.
  if (refusal == nullptr && directory && ::fstat(directory.get(), &status) == 0)
    refusal = owner_refusal(status);
  if (refusal != nullptr) {
    say("refusing %s: %s\n", path, refusal);
    return -1;
  }
  if (!directory) return 0;
  const mode_t mode = created ? 0755 : status.st_mode & 07755;
  if ((status.st_mode & 07777) == mode) return 0;
  if (::fchmod(directory.get(), mode) != 0) {
    say("refusing %s: group or others can write to it\n", path);
    return -1;
  }
  if (!created) say("tightened %s: group or others could write to it\n", path);
  return 0;
}
