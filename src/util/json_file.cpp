#include "util/json_file.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "util/handles.h"

cJSON* read_json_file(const char* path) {
  struct stat status {};
  if (::stat(path, &status) != 0 || status.st_size <= 0) return nullptr;
  unique_file file(std::fopen(path, "re"));
  if (!file) return nullptr;
  const auto size = static_cast<std::size_t>(status.st_size);
  unique_text buffer(static_cast<char*>(std::malloc(size + 1)));
  if (!buffer) return nullptr;
  // The file may have shrunk since stat: parse only what was actually read.
  const std::size_t got = std::fread(buffer.get(), 1, size, file.get());
  buffer.get()[got] = '\0';
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
