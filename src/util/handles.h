// RAII owners for the few resources the daemon acquires: descriptors, streams,
// cJSON documents and texts printed by cJSON.
#pragma once

#include <cjson/cJSON.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

struct file_closer {
  void operator()(FILE* f) const noexcept { (void)std::fclose(f); }
};
struct json_deleter {
  void operator()(cJSON* j) const noexcept { cJSON_Delete(j); }
};
struct heap_deleter {
  void operator()(void* p) const noexcept { std::free(p); }
};

using unique_file = std::unique_ptr<FILE, file_closer>;
using unique_json = std::unique_ptr<cJSON, json_deleter>;
using unique_text = std::unique_ptr<char, heap_deleter>;  // texts printed by cJSON

// Owns one descriptor; -1 means none.
class unique_fd {
 public:
  unique_fd() = default;
  explicit unique_fd(int fd) noexcept : fd_(fd) {}
  unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
  unique_fd& operator=(unique_fd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  ~unique_fd() { reset(); }

  [[nodiscard]] int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  int release() noexcept {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) (void)::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};
