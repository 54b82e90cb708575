#include "util/json_file.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

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

// Pages for JSON: bump allocation in mapped chunks, all unmapped when the
// count of live blocks falls to 0, which happens after every parse of the
// configuration or the record.
struct json_chunk {
  json_chunk* next;
  std::size_t size;
  std::size_t used;
};
json_chunk* json_chunks = nullptr;
std::size_t json_live_blocks = 0;
constexpr std::size_t json_chunk_bytes = std::size_t{64} * 1024;
constexpr std::size_t json_align = alignof(std::max_align_t);
constexpr std::size_t json_header = (sizeof(json_chunk) + json_align - 1) & ~(json_align - 1);

void* json_allocate(std::size_t size) {
  if (size > SIZE_MAX / 4) return nullptr;
  size = (size + json_align - 1) & ~(json_align - 1);
  json_chunk* chunk = json_chunks;
  if (chunk == nullptr || chunk->size - chunk->used < size) {
    const std::size_t bytes =
        std::max(json_chunk_bytes, (json_header + size + 4095) & ~std::size_t{4095});
    void* mapped =
        ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    chunk = static_cast<json_chunk*>(mapped);
    *chunk = {json_chunks, bytes, json_header};
    json_chunks = chunk;
  }
  void* block = reinterpret_cast<char*>(chunk) + chunk->used;
  chunk->used += size;
  ++json_live_blocks;
  return block;
}

void json_release(void* block) {
  if (block == nullptr || --json_live_blocks != 0) return;
  while (json_chunk* chunk = json_chunks) {
    json_chunks = chunk->next;
    (void)::munmap(chunk, chunk->size);
  }
}

struct json_block_deleter {
  void operator()(char* block) const noexcept { cJSON_free(block); }
};

// Counts when `text` is null, so that a print takes one allocation of its
// exact size.
struct print_sink {
  char* text;
  std::size_t used;
};

void put(print_sink& sink, const char* bytes, std::size_t count) {
  if (sink.text != nullptr) std::memcpy(sink.text + sink.used, bytes, count);
  sink.used += count;
}

void put(print_sink& sink, const char* text) { put(sink, text, std::strlen(text)); }

// Whether the value read back from fifteen digits is the value, within the
// tolerance cJSON allows.
bool same_double(double a, double b) {
  const double larger = std::fabs(a) > std::fabs(b) ? std::fabs(a) : std::fabs(b);
  return std::fabs(a - b) <= larger * DBL_EPSILON;
}

bool print_number(double value, print_sink& sink) {
  if (std::isnan(value) || std::isinf(value)) {
    put(sink, "null");
    return true;
  }
  std::array<char, 26> digits{};
  int length = std::snprintf(digits.data(), digits.size(), "%1.15g", value);
  char* end = nullptr;
  const double back = std::strtod(digits.data(), &end);
  if (end == digits.data() || !same_double(back, value))
    length = std::snprintf(digits.data(), digits.size(), "%1.17g", value);
  if (length < 0 || length >= static_cast<int>(digits.size())) return false;
  put(sink, digits.data(), static_cast<std::size_t>(length));
  return true;
}

void print_string(const char* text, print_sink& sink) {
  put(sink, "\"", 1);
  if (text != nullptr) {
    for (const char* at = text; *at != '\0'; ++at) {
      const auto byte = static_cast<unsigned char>(*at);
      const char* escape = nullptr;
      switch (byte) {
        case '"':
          escape = "\\\"";
          break;
        case '\\':
          escape = "\\\\";
          break;
        case '\b':
          escape = "\\b";
          break;
        case '\f':
          escape = "\\f";
          break;
        case '\n':
          escape = "\\n";
          break;
        case '\r':
          escape = "\\r";
          break;
        case '\t':
          escape = "\\t";
          break;
        default:
          break;
      }
      if (escape != nullptr) {
        put(sink, escape, 2);
      } else if (byte < 32) {
        constexpr char hex[] = "0123456789abcdef";
        const char unicode[] = {'\\', 'u', '0', '0', hex[byte >> 4], hex[byte & 15U]};
        put(sink, unicode, sizeof unicode);
      } else {
        put(sink, at, 1);
      }
    }
  }
  put(sink, "\"", 1);
}

bool print_value(const cJSON* item, print_sink& sink, const char* left_out) {
  switch (item->type & 0xFF) {
    case cJSON_NULL:
      put(sink, "null");
      return true;
    case cJSON_False:
      put(sink, "false");
      return true;
    case cJSON_True:
      put(sink, "true");
      return true;
    case cJSON_Number:
      return print_number(item->valuedouble, sink);
    case cJSON_Raw:
      if (item->valuestring == nullptr) return false;
      put(sink, item->valuestring);
      return true;
    case cJSON_String:
      print_string(item->valuestring, sink);
      return true;
    case cJSON_Array:
    case cJSON_Object: {
      const bool object = (item->type & 0xFF) == cJSON_Object;
      put(sink, object ? "{" : "[", 1);
      bool first = true;
      for (const cJSON* child = item->child; child != nullptr; child = child->next) {
        if (object && left_out != nullptr && strcasecmp(child->string, left_out) == 0) continue;
        if (!first) put(sink, ",", 1);
        first = false;
        if (object) {
          print_string(child->string, sink);
          put(sink, ":", 1);
        }
        if (!print_value(child, sink, left_out)) return false;
      }
      put(sink, object ? "}" : "]", 1);
      return true;
    }
    default:
      return false;
  }
}

}  // namespace

void use_json_pages() {
  cJSON_Hooks hooks{json_allocate, json_release};
  cJSON_InitHooks(&hooks);
}

char* json_print(const cJSON* item, const char* left_out) {
  print_sink sink{nullptr, 0};
  if (item == nullptr || !print_value(item, sink, left_out)) return nullptr;
  unique_text text(static_cast<char*>(std::malloc(sink.used + 1)));
  if (!text) return nullptr;
  sink = {text.get(), 0};
  (void)print_value(item, sink, left_out);
  text.get()[sink.used] = '\0';
  return text.release();
}

cJSON* read_json_file(const char* path) {
  // Non-blocking, so that a FIFO under the name cannot stall start-up; only a
  // regular file is read at all.
  const unique_fd file(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!file) return nullptr;
  struct stat status {};
  if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) return nullptr;
  if (status.st_size <= 0 || status.st_size > max_json_file_bytes) return nullptr;
  const auto size = static_cast<std::size_t>(status.st_size);
  const std::unique_ptr<char, json_block_deleter> buffer(
      static_cast<char*>(cJSON_malloc(size + 1)));
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
