#include "support/scratch_tree.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

bool enter_scratch_tree(std::string* why) {
  if (::unshare(CLONE_NEWNS) != 0) {
    *why = std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
    return false;
  }
  // Keep our mounts out of the machine's namespace.
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0) {
    *why = std::string("mount: ") + std::strerror(errno);
    return false;
  }
  for (const char* dir : {"/tmp/.uci", "/tmp/case", "/tmp/case/sup", "/tmp/case/data"}) {
    if (::mkdir(dir, 0755) != 0) {
      *why = std::string("mkdir ") + dir + ": " + std::strerror(errno);
      return false;
    }
  }
  if (::chdir("/tmp/case/sup") != 0) {
    *why = std::string("chdir: ") + std::strerror(errno);
    return false;
  }
  return true;
}

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_text(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

bool file_exists(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

std::string capture_stdout(const std::function<void()>& body) {
  std::fflush(stdout);
  char name[] = "/tmp/captured.XXXXXX";
  const int file = ::mkstemp(name);
  const int saved = ::dup(STDOUT_FILENO);
  ::dup2(file, STDOUT_FILENO);
  body();
  std::fflush(stdout);
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  ::close(file);
  std::string text = read_text(name);
  ::unlink(name);
  return text;
}
