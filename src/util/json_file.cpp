#include "util/json_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "util/handles.h"
#include "util/retry.h"

namespace {

// The configuration and the boot-check record are a few hundred bytes; a
// larger file is not one of ours and would only cost the router its memory.
constexpr off_t max_json_file_bytes = off_t{1024} * 1024;

// Reads up to `size` bytes; fewer when the file shrank since fstat.
std::size_t read_up_to(int fd, char* buffer, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = retry_on_eintr(::read, fd, buffer + got, size - got);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

}  // namespace

cJSON* read_json_file(const char* path) {
  // Non-blocking, so that a FIFO under the name cannot stall start-up; only a
  // regular file is read at all.
  const unique_fd file(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!file) return nullptr;
  struct stat status {};
  if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) return nullptr;
  if (status.st_size <= 0 || status.st_size > max_json_file_bytes) return nullptr;
  const auto size = static_cast<std::size_t>(status.st_size);
  unique_text buffer(static_cast<char*>(std::malloc(size + 1)));
  if (!buffer) return nullptr;
  // The file may have shrunk since fstat: parse only what was actually read.
  buffer.get()[read_up_to(file.get(), buffer.get(), size)] = '\0';
  return cJSON_Parse(buffer.get());
}

const char* json_get_string(const cJSON* object, const char* name) {
  const cJSON* item = cJSON_GetObjectItem(object, name);
  return cJSON_IsString(item) ? item->valuestring : nullptr;
}

int json_get_int(const cJSON* object, const char* name) {
  const cJSON* item = cJSON_GetObjectItem(object, name);
  return item != nullptr ? item->valueint : 0;
}

int json_is_true(const cJSON* object, const char* name) {
  return cJSON_IsTrue(cJSON_GetObjectItem(object, name)) ? 1 : 0;
}
