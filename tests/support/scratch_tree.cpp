#include "support/scratch_tree.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

// Creates every missing directory of an absolute path.
void make_directories(const std::string& path) {
  for (std::size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
    (void)::mkdir(path.substr(0, at).c_str(), 0755);
  (void)::mkdir(path.c_str(), 0755);
}

}  // namespace

bool enter_scratch_tree(std::string* why) {
  // A build tree under /tmp (a checkout there) stays visible through the
  // private /tmp: some tests run the programs it holds.
  const std::string build_tree = SCRATCH_BUILD_TREE;
  const bool keep = build_tree.rfind("/tmp/", 0) == 0;
  if (::unshare(CLONE_NEWNS) != 0) {
    *why = std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
    return false;
  }
  // Keep our mounts out of the machine's namespace.
  const int kept = keep ? ::open(build_tree.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC) : -1;
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0) {
    *why = std::string("mount: ") + std::strerror(errno);
    return false;
  }
  if (keep) {
    make_directories(build_tree);
    const std::string source = "/proc/self/fd/" + std::to_string(kept);
    if (kept < 0 ||
        ::mount(source.c_str(), build_tree.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
      *why = "bind " + build_tree + ": " + std::strerror(errno);
      return false;
    }
    (void)::close(kept);
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

void make_tree(const std::string& root, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    std::istringstream words(line);
    std::string kind, path, rest;
    words >> kind >> path >> rest;
    const std::string full = root + "/" + path;
    if (kind == "d") (void)::mkdir(full.c_str(), 0755);
    if (kind == "f") write_text(full, rest);
    if (kind == "l") (void)!::symlink(rest.c_str(), full.c_str());
    if (kind == "h") (void)!::link(rest.c_str(), full.c_str());
    if (kind == "m") (void)!::chmod(full.c_str(), std::stoul(rest, nullptr, 8));
    if (kind == "c") (void)!::mknod(full.c_str(), S_IFCHR | 0666, makedev(1, 3));
    if (kind == "p") (void)!::mkfifo(full.c_str(), 0644);
  }
}

namespace {

// " mode <octal>" for a set-ID bit or others' right to write, else nothing.
std::string mode_mark(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0 || (status.st_mode & 06022) == 0) return "";
  std::array<char, 16> octal{};
  (void)std::snprintf(octal.data(), octal.size(), " mode %04o", status.st_mode & 07777);
  return octal.data();
}

}  // namespace

std::string tree_listing(const std::string& root) {
  namespace fs = std::filesystem;
  std::vector<std::string> lines;
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
       it.increment(error)) {
    const std::string path = it->path().lexically_relative(root).string();
    if (it->is_symlink()) {
      lines.push_back("l " + path + " " + fs::read_symlink(it->path()).string());
    } else if (it->is_directory()) {
      lines.push_back("d " + path + mode_mark(it->path().string()));
    } else if (it->is_regular_file()) {
      lines.push_back("f " + path + " " + read_text(it->path().string()) +
                      mode_mark(it->path().string()));
    } else {
      lines.push_back("s " + path);  // never opened: a FIFO would block
    }
  }
  std::sort(lines.begin(), lines.end());
  std::string joined;
  for (const std::string& line : lines) joined += line + "\n";
  return joined;
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
