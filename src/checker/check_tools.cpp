#include "checker/check_tools.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>

#include "util/format.h"
#include "util/handles.h"
#include "util/spawn.h"

namespace {

// What the C library's execvp searches when PATH is unset (glibc's default;
// musl's also has /usr/local/bin first).
constexpr const char* default_search_path = "/bin:/usr/bin";

// A gzip-compressed tar archive holding one empty file, made once with
// Python's tarfile and gzip (mtime 0): what `tar -tzf -` must be able to list.
constexpr std::array<unsigned char, 87> tiny_tgz = {
    0x1f, 0x8b, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x03, 0xed, 0xcd, 0x31, 0x0a, 0x80,
    0x30, 0x14, 0x44, 0xc1, 0x7f, 0x14, 0x8f, 0x90, 0x22, 0xc6, 0xf3, 0x28, 0x58, 0x2b, 0x51,
    0xef, 0x6f, 0xb0, 0x14, 0x5b, 0x05, 0x61, 0xa6, 0x79, 0xdb, 0xed, 0x5a, 0x97, 0x69, 0x8e,
    0x77, 0xa5, 0xa6, 0xe4, 0x7c, 0xb5, 0xb9, 0xf7, 0x61, 0x97, 0xa1, 0xf4, 0xd1, 0xa5, 0xf8,
    0xc0, 0xb1, 0xed, 0x63, 0x6d, 0x97, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0xff, 0x71, 0x02, 0x15, 0x88, 0xf5, 0x5c, 0x00, 0x28, 0x00, 0x00};

// The first executable regular file `name` in the search path, as execvp
// would run it (an empty entry is the working directory); false when none.
bool find_in_path(const char* name, std::array<char, 8192>* found) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) path = default_search_path;
  for (const char* entry = path;; ++entry) {
    const char* end = std::strchr(entry, ':');
    const int length = static_cast<int>(end != nullptr ? end - entry : std::strlen(entry));
    const bool fits = length == 0 ? format_into(*found, "%s", name)
                                  : format_into(*found, "%.*s/%s", length, entry, name);
    struct stat status {};
    if (fits && ::stat(found->data(), &status) == 0 && S_ISREG(status.st_mode) &&
        ::access(found->data(), X_OK) == 0)
      return true;
    if (end == nullptr) return false;
    entry = end;
  }
}

// 1 when `tar -tzf -` lists the tiny archive from its standard input, as the
// daemon's `tar -zxf -` reads the package; nothing is written anywhere.
int tar_reads_gzip() {
  std::array<int, 2> ends{};
  if (::pipe2(ends.data(), O_CLOEXEC) != 0) return 0;
  const unique_fd reader(ends[0]);
  {
    const unique_fd writer(ends[1]);
    // Far below a pipe's capacity: the write cannot block.
    if (::write(writer.get(), tiny_tgz.data(), tiny_tgz.size()) !=
        static_cast<ssize_t>(tiny_tgz.size()))
      return 0;
  }
  char* const argv[] = {const_cast<char*>("tar"), const_cast<char*>("-tzf"), const_cast<char*>("-"),
                        nullptr};
  return spawn_and_wait("tar", argv, reader.get()) == 0 ? 1 : 0;
}

}  // namespace

void check_tools(check_report* report) {
  std::array<char, 8192> found{};
  if (!find_in_path("killall", &found))
    report_line(report, finding::warning,
                "no killall in PATH: the daemon's kill by name (killall -9 <name>) fails without "
                "a word, and a stray or stuck copy of a program keeps running");
  if (!find_in_path("tar", &found))
    report_line(report, finding::warning,
                "no tar in PATH: an upgrade package (exit 130) is never unpacked, without a word");
  else if (tar_reads_gzip() == 0)
    report_line(report, finding::warning,
                "%s cannot read a gzip-compressed archive (is gzip missing from PATH?): an upgrade "
                "package (exit 130) is never unpacked, without a word",
                found.data());
}
