#include "checker/check_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "startup/config.h"
#include "util/handles.h"
#include "util/json_file.h"
#include "util/retry.h"

namespace {

// The kernel keeps this many characters of a process name; `killall` looks
// at that cut name first.
constexpr std::size_t process_name_max = 15;
constexpr const char* init_failure = "the daemon prints \"failed to init daemon\" and ends";
// The daemon reads no larger JSON file.
constexpr off_t max_config_bytes = off_t{1024} * 1024;

struct text_position {
  int line;
  int column;
};

// Where the JSON parser stopped in `path` (a regular file of at most
// max_config_bytes), as a line and a column in bytes, both counted from 1.
// The daemon's loader reads the file itself and keeps no error position.
bool syntax_error_position(const char* path, std::size_t size, text_position* position) {
  const unique_text text(static_cast<char*>(std::calloc(size + 1, 1)));
  const unique_fd file(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!text || !file) return false;
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = retry_on_eintr(::read, file.get(), text.get() + got, size - got);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  const char* end = nullptr;
  const unique_json document(cJSON_ParseWithOpts(text.get(), &end, 0));
  if (document || end == nullptr) return false;
  *position = {1, 1};
  for (const char* c = text.get(); c < end && *c != '\0'; ++c) {
    if (*c == '\n') {
      ++position->line;
      position->column = 1;
    } else {
      ++position->column;
    }
  }
  return true;
}

// Why "config" gave no document.
void refuse_missing_document(check_report* report) {
  struct stat status {};
  if (::stat("config", &status) != 0) {
    report_line(report, finding::refusal, "no file config (%s): %s", std::strerror(errno),
                init_failure);
  } else if (!S_ISREG(status.st_mode)) {
    report_line(report, finding::refusal, "config is not a regular file: %s", init_failure);
  } else if (status.st_size == 0) {
    report_line(report, finding::refusal, "config is empty: %s", init_failure);
  } else if (status.st_size > max_config_bytes) {
    report_line(report, finding::refusal, "config is larger than 1 MiB: %s", init_failure);
  } else if (::access("config", R_OK) != 0) {
    report_line(report, finding::refusal, "config cannot be read (%s): %s", std::strerror(errno),
                init_failure);
  } else if (text_position at{};
             syntax_error_position("config", static_cast<std::size_t>(status.st_size), &at)) {
    report_line(report, finding::refusal,
                "config is not valid JSON (the parser stopped at line %d, column %d): %s", at.line,
                at.column, init_failure);
  } else {
    report_line(report, finding::refusal, "config is not valid JSON: %s", init_failure);
  }
}

// The "processes" value that load_config walks, or null.
const cJSON* processes_of(const cJSON* document) {
  const cJSON* watch = cJSON_GetObjectItem(document, "__watch");
  return watch != nullptr ? cJSON_GetObjectItem(watch, "processes") : nullptr;
}

void refuse_element_without_base(check_report* report, const cJSON* processes) {
  // One walk of the list: a long one must not take quadratic time.
  int i = 0;
  const cJSON* element = nullptr;
  cJSON_ArrayForEach(element, processes) {
    if (json_get_string(element, "base") == nullptr) {
      report_line(report, finding::refusal, "processes[%d] has no string \"base\": %s", i,
                  init_failure);
      return;
    }
    ++i;
  }
}

// Only the literal true asks for the check; a string or number is ignored.
void warn_about_excheck(check_report* report, const cJSON* element, const char* base) {
  const cJSON* excheck = cJSON_GetObjectItem(element, "excheck");
  const char* why = "only the literal true asks for the liveness check, so it gets none";
  if (cJSON_IsString(excheck))
    report_line(report, finding::warning, "\"excheck\" of %s is the string \"%s\": %s", base,
                excheck->valuestring, why);
  else if (cJSON_IsNumber(excheck))
    report_line(report, finding::warning, "\"excheck\" of %s is the number %g: %s", base,
                excheck->valuedouble, why);
}

// Names that the kill by name ("killall -9 <name>") handles badly.
void warn_about_name(check_report* report, const supervisor_state& state, int index) {
  const char* name = state.slots[index].name.data();
  for (int other = 0; other < index; ++other) {
    if (std::strcmp(name, state.slots[other].name.data()) == 0)
      report_line(report, finding::warning, "two programs are named %s: the kill by name hits both",
                  name);
  }
  if (std::strlen(name) > process_name_max)
    report_line(report, finding::warning,
                "%s is longer than %zu characters: the kernel cuts process names there, so "
                "the kill by name may miss it",
                name, process_name_max);
  if (name[0] == '-')
    report_line(report, finding::warning, "%s begins with '-': killall takes it for an option",
                name);
  if (std::strchr(name, '/') != nullptr)
    report_line(report, finding::warning,
                "%s contains '/': process names never do, so the kill by name may miss it", name);
}

}  // namespace

int check_config(check_report* report, supervisor_state* state) {
  const unique_json document(read_json_file("config"));
  if (!document) {
    refuse_missing_document(report);
    return -1;
  }
  const cJSON* processes = processes_of(document.get());
  if (load_config("config", state) != 0) {
    refuse_element_without_base(report, processes);
    return -1;
  }
  const int count = processes != nullptr ? cJSON_GetArraySize(processes) : 0;
  if (count > max_processes)
    report_line(report, finding::warning,
                "%d programs configured: only the first %d are run, %d ignored", count,
                max_processes, count - max_processes);
  for (int i = 0; i < count && i < max_processes; ++i)
    warn_about_excheck(report, cJSON_GetArrayItem(processes, i), state->slots[i].name.data());
  for (int i = 0; i < state->process_count; ++i) warn_about_name(report, *state, i);
  return 0;
}
