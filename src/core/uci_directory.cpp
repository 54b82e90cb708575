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

namespace {

// Judges the directory open at `directory`: refused when it belongs to
// another user, made `wanted` (or its mode less the write bits of group and
// others) otherwise. Null, or why it is refused.
const char* judge_and_tighten(int directory, const struct stat& status, mode_t wanted,
                              bool* tightened) {
  const char* refusal = owner_refusal(status);
  const bool tighten = refusal == nullptr && (status.st_mode & 07777) != wanted;
  if (tighten && ::fchmod(directory, wanted) != 0) refusal = "group or others can write to it";
  *tightened = tighten && refusal == nullptr;
  return refusal;
}

}  // namespace

int prepare_uci_directory(const char* path) {
  name_buffer name;
  strip_trailing_slashes(path, name);
  // Made 0755 below whatever the umask. mkdir neither follows nor replaces a
  // link or a stranger's directory there; both are refused below.
  const bool created = ::mkdir(name.data(), 0755) == 0;
  if (!created && errno != EEXIST) {
    say("mkdir (%s) error: %s", path, std::strerror(errno));
    return -1;
  }
  const unique_fd directory(::open(name.data(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat status {};
  const bool not_directory = !directory && errno == ENOTDIR;
  const bool looked = directory && ::fstat(directory.get(), &status) == 0;
  // Judged through the descriptor: the directory we go on with is the one
  // that passed.
  bool tightened = false;
  const char* refusal = looked
                            ? judge_and_tighten(directory.get(), status,
                                                created ? 0755 : status.st_mode & 07755, &tightened)
                            : uci_directory_refusal(path);
  if (refusal == nullptr && not_directory) refusal = "it is not a directory";
  if (refusal != nullptr) {
    say("refusing %s: %s\n", path, refusal);
    return -1;
  }
  if (tightened && !created) say("tightened %s: group or others could write to it\n", path);
  return 0;
}

int guard_open_directory(int directory, const char* path) {
  struct stat status {};
  const char* refusal = uci_directory_refusal(path);
  if (refusal == nullptr && ::fstat(directory, &status) != 0) refusal = std::strerror(errno);
  bool tightened = false;
  if (refusal == nullptr)
    refusal = judge_and_tighten(directory, status, status.st_mode & 07755, &tightened);
  if (refusal != nullptr) {
    say("refusing %s: %s\n", path, refusal);
    return -1;
  }
  if (tightened) say("tightened %s: group or others could write to it\n", path);
  return 0;
}
