// Shared by the fuzz targets: failing loudly, files from raw bytes, and the
// scratch trees the daemon's relative paths ("config", "../data/") need.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

// A broken property is a finding: say which and abort so libFuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                               \
  do {                                                                                      \
    if (!(condition)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                         \
    }                                                                                       \
  } while (0)

// Set-up that cannot be done makes every later verdict meaningless.
[[noreturn]] inline void fuzz_setup_failed(const char* what) {
  std::fprintf(stderr, "fuzz set-up failed: %s: %s\n", what, std::strerror(errno));
  std::abort();
}

// The same limit as the daemon's JSON reader.
inline constexpr std::size_t max_json_file_bytes = 1024 * 1024;

// The text a JSON reader of this file sees: the bytes up to the first NUL, or
// nothing for a file it refuses (empty or over the limit).
inline std::string json_text_of(const uint8_t* data, std::size_t size) {
  if (size == 0 || size > max_json_file_bytes) return {};
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  return std::string(bytes.c_str());
}

inline void write_bytes(const char* path, const void* data, std::size_t size) {
  FILE* file = std::fopen(path, "wb");
  if (file == nullptr) fuzz_setup_failed(path);
  const bool written = std::fwrite(data, 1, size, file) == size;
  if (std::fclose(file) != 0 || !written) fuzz_setup_failed(path);
}

inline std::string read_bytes(const char* path) {
  std::string text;
  FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return text;
  char buffer[4096];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
  (void)std::fclose(file);
  return text;
}

inline bool path_exists(const char* path) {
  struct stat status {};
  return ::lstat(path, &status) == 0;
}

// Lays out <root>/sup and <root>/data and changes into <root>/sup, so that the
// daemon's "../data/" is the tree's own data directory.
inline void enter_tree(const std::string& root) {
  for (const std::string& dir : {root + "/sup", root + "/data"}) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) fuzz_setup_failed(dir.c_str());
  }
  if (::chdir((root + "/sup").c_str()) != 0) fuzz_setup_failed("chdir");
}

// A fresh directory for a target that only uses relative paths, in RAM when
// /dev/shm is there (a disk file system slows every input down to a flush);
// removed again when the fuzzer ends normally (a crash leaves it for a look).
inline std::string make_private_root() {
  static char shm_root[] = "/dev/shm/plugsup-fuzz.XXXXXX";
  static char tmp_root[] = "/tmp/plugsup-fuzz.XXXXXX";
  static char* root = ::access("/dev/shm", W_OK) == 0 ? shm_root : tmp_root;
  if (::mkdtemp(root) == nullptr) fuzz_setup_failed("mkdtemp");
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  });
  return root;
}

// The fuzzer's own paths among its arguments: the corpus directories and the
// values of the options that name files; null for any other argument.
inline const char* path_in_argument(const char* argument) {
  if (argument[0] != '-') return argument;
  for (const char* option : {"-artifact_prefix=", "-exact_artifact_path=", "-dict="}) {
    const std::size_t length = std::strlen(option);
    if (std::strncmp(argument, option, length) == 0) return argument + length;
  }
  return nullptr;
}

// The targets change into scratch directories before libFuzzer reads its
// arguments, so relative paths among them are made absolute first (the new
// texts live as long as the process).
inline void make_paths_absolute(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const char* path = path_in_argument(argv[i]);
    if (path == nullptr || path[0] == '/' || path[0] == '\0') continue;
    const std::string prefix(argv[i], static_cast<std::size_t>(path - argv[i]));
    std::error_code ignored;
    const std::string absolute = prefix + std::filesystem::absolute(path, ignored).string();
    argv[i] = ::strdup(absolute.c_str());
    if (argv[i] == nullptr) fuzz_setup_failed("strdup");
  }
}

// What a target whose files all live in the working directory does first:
// its corpus paths made absolute, then a private scratch tree entered.
inline void enter_private_tree(int* argc, char*** argv) {
  make_paths_absolute(*argc, *argv);
  enter_tree(make_private_root());
}

// The directory that holds what `path` names: itself for a directory, else
// its parent (an artifact prefix, the dictionary).
inline std::string directory_of(const std::string& path) {
  std::error_code ignored;
  if (std::filesystem::is_directory(path, ignored)) return path;
  return std::filesystem::path(path).parent_path().string();
}

// For code that uses the absolute /tmp/.uci/: a private mount namespace with
// its own tmpfs on /tmp, so nothing of the machine's /tmp is seen or touched
// and everything made here goes away with the process. The fuzzer's own
// directories under /tmp (a checkout there) are bound back into it.
inline void confine_to_private_tmp(int argc, char** argv) {
  if (::unshare(CLONE_NEWNS) != 0) fuzz_setup_failed("unshare(CLONE_NEWNS) (run as root)");
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    fuzz_setup_failed("making / private");
  std::vector<std::pair<std::string, int>> kept;  // opened before the tmpfs hides them
  for (int i = 1; i < argc; ++i) {
    const char* path = path_in_argument(argv[i]);
    if (path == nullptr) continue;
    const std::string directory =
        directory_of(std::filesystem::path(path).lexically_normal().string());
    if (directory == "/tmp" || directory == "/tmp/") {
      errno = EINVAL;
      fuzz_setup_failed("a fuzzer path directly in /tmp, which this target replaces");
    }
    if (directory.rfind("/tmp/", 0) != 0) continue;
    const int fd = ::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) fuzz_setup_failed(directory.c_str());
    kept.emplace_back(directory, fd);
  }
  if (::mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0) fuzz_setup_failed("tmpfs on /tmp");
  for (const auto& [directory, fd] : kept) {
    std::error_code failed;
    std::filesystem::create_directories(directory, failed);
    const std::string source = "/proc/self/fd/" + std::to_string(fd);
    if (failed ||
        ::mount(source.c_str(), directory.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
      fuzz_setup_failed(directory.c_str());
    (void)::close(fd);
  }
}
