#include "status/status_report.h"

#include <array>
#include <cstring>
#include <ctime>

#include "util/format.h"
#include "util/handles.h"
#include "util/text_escape.h"

namespace {

using cell = std::array<char, 32>;

// Room for a text of 4607 bytes with every byte escaped.
using shown_text = std::array<char, 4 * 4608 + 1>;

// Names, directories and lines come from files others may write: on the
// terminal no byte of them may act as a control.
shown_text shown(const char* text) {
  shown_text escaped{};
  (void)escape_text(text, escaped.data(), escaped.size());
  return escaped;
}

// JSON is UTF-8; cJSON escapes the control bytes itself.
shown_text utf8(const char* text) {
  shown_text valid{};
  (void)replace_invalid_utf8(text, valid.data(), valid.size());
  return valid;
}

cell local_time(long long seconds) {
  cell text{};
  const std::time_t when = static_cast<std::time_t>(seconds);
  std::tm local{};
  if (seconds < 0 || ::localtime_r(&when, &local) == nullptr ||
      std::strftime(text.data(), text.size(), "%Y-%m-%d %H:%M:%S", &local) == 0)
    (void)format_into(text, "-");
  return text;
}

// "45s", "3m12s", "2h05m", "3d04h": two units are enough at a glance.
cell duration(long long seconds) {
  cell text{};
  if (seconds < 0) seconds = 0;
  if (seconds < 60)
    (void)format_into(text, "%llds", seconds);
  else if (seconds < 3600)
    (void)format_into(text, "%lldm%02llds", seconds / 60, seconds % 60);
  else if (seconds < 86400)
    (void)format_into(text, "%lldh%02lldm", seconds / 3600, seconds % 3600 / 60);
  else
    (void)format_into(text, "%lldd%02lldh", seconds / 86400, seconds % 86400 / 3600);
  return text;
}

const char* watchdog_text(const supervisor_status& status) {
  for (int i = 0; i < status.config.process_count; ++i)
    if (status.config.slots[i].alive_path[0] != '\0')
      return status.watchdog == 1 ? "watchdog running" : "watchdog NOT running";
  return "no watchdog (no program asks for it)";
}

int name_width(const supervisor_status& status) {
  int width = 7;
  for (int i = 0; i < status.config.process_count; ++i) {
    const int length =
        static_cast<int>(std::strlen(shown(status.config.slots[i].name.data()).data()));
    if (length > width) width = length < 40 ? length : 40;
  }
  return width;
}

void print_program_row(std::FILE* out, const supervisor_status& status, int index, int width) {
  const program_status& program = status.programs[index];
  const shown_text escaped_name = shown(status.config.slots[index].name.data());
  const char* name = escaped_name.data();
  cell alive{};
  if (status.config.slots[index].alive_path[0] == '\0')
    (void)format_into(alive, "-");
  else if (program.alive_age_s < 0)
    (void)format_into(alive, "absent");
  else
    alive = duration(program.alive_age_s);
  if (program.pid <= 0) {
    (void)std::fprintf(out, "%-*s  %-7s  %-7s  %-19s  %-6s  %-6s  %7d  %s\n", width, name, "down",
                       "-", "-", "-", "-", program.endings.endings, alive.data());
    return;
  }
  (void)std::fprintf(out, "%-*s  %-7s  %-7d  %-19s  %-6d  %-6s  %7d  %s\n", width, name, "running",
                     static_cast<int>(program.pid), local_time(program.started_s).data(),
                     program.restart_reason, program.plugin_mode == 1 ? "plugin" : "plain",
                     program.endings.endings, alive.data());
}

void print_last_endings(std::FILE* out, const supervisor_status& status, int width) {
  bool header = false;
  for (int i = 0; i < status.config.process_count; ++i) {
    const char* last = status.programs[i].endings.last.data();
    if (last[0] == '\0') continue;
    if (!header) (void)std::fputs("last endings:\n", out);
    header = true;
    const shown_text name = shown(status.config.slots[i].name.data());
    const int padding = width - static_cast<int>(std::strlen(name.data()));
    // A watchdog kill is two lines: each is escaped on its own.
    ending_text first{};
    const char* newline = std::strchr(last, '\n');
    const std::size_t first_length =
        newline != nullptr ? static_cast<std::size_t>(newline - last) : std::strlen(last);
    std::memcpy(first.data(), last, first_length);
    (void)std::fprintf(out, "  %s: %*s%s\n", name.data(), padding > 0 ? padding : 0, "",
                       shown(first.data()).data());
    if (newline != nullptr)
      (void)std::fprintf(out, "  %*s  %s\n", width, "", shown(newline + 1).data());
  }
}

}  // namespace

void print_status_table(std::FILE* out, const supervisor_status& status) {
  const long long now = std::time(nullptr);
  (void)std::fprintf(out, "supervisor %s, pid %d, up since %s (%s), %s\n",
                     shown(status.name.data()).data(), static_cast<int>(status.pid),
                     local_time(status.started_s).data(), duration(now - status.started_s).data(),
                     watchdog_text(status));
  (void)std::fprintf(out, "directory %s\n", shown(status.directory.data()).data());
  if (status.config_loaded == 0) {
    (void)std::fputs("programs unknown: its config cannot be read\n", out);
    return;
  }
  const int width = name_width(status);
  (void)std::fprintf(out, "%-*s  %-7s  %-7s  %-19s  %-6s  %-6s  %7s  %s\n", width, "program",
                     "state", "pid", "since", "reason", "mode", "endings", "alive file");
  for (int i = 0; i < status.config.process_count; ++i) print_program_row(out, status, i, width);
  print_last_endings(out, status, width);
}

cJSON* status_json(const supervisor_status& status) {
  unique_json root(cJSON_CreateObject());
  if (!root) return nullptr;
  cJSON* supervisor = cJSON_AddObjectToObject(root.get(), "supervisor");
  cJSON* programs = cJSON_AddArrayToObject(root.get(), "programs");
  if (supervisor == nullptr || programs == nullptr) return nullptr;
  (void)cJSON_AddStringToObject(supervisor, "name", utf8(status.name.data()).data());
  (void)cJSON_AddNumberToObject(supervisor, "pid", status.pid);
  (void)cJSON_AddStringToObject(supervisor, "directory", utf8(status.directory.data()).data());
  if (status.started_s >= 0)
    (void)cJSON_AddNumberToObject(supervisor, "started", static_cast<double>(status.started_s));
  else
    (void)cJSON_AddNullToObject(supervisor, "started");
  (void)cJSON_AddBoolToObject(supervisor, "watchdog", status.watchdog == 1);
  for (int i = 0; i < status.config.process_count; ++i) {
    const program_status& program = status.programs[i];
    const bool running = program.pid > 0;
    cJSON* item = cJSON_CreateObject();
    if (item == nullptr || !cJSON_AddItemToArray(programs, item)) {
      cJSON_Delete(item);
      return nullptr;
    }
    (void)cJSON_AddStringToObject(item, "name", utf8(status.config.slots[i].name.data()).data());
    (void)cJSON_AddBoolToObject(item, "running", running);
    const auto number_or_null = [item](const char* member, bool present, double value) {
      if (present)
        (void)cJSON_AddNumberToObject(item, member, value);
      else
        (void)cJSON_AddNullToObject(item, member);
    };
    number_or_null("pid", running, program.pid);
    number_or_null("started", running && program.started_s >= 0,
                   static_cast<double>(program.started_s));
    number_or_null("restart_reason", running, program.restart_reason);
    if (running)
      (void)cJSON_AddBoolToObject(item, "plugin_mode", program.plugin_mode == 1);
    else
      (void)cJSON_AddNullToObject(item, "plugin_mode");
    number_or_null("endings", true, program.endings.endings);
    if (program.endings.last[0] != '\0')
      (void)cJSON_AddStringToObject(item, "last_ending", utf8(program.endings.last.data()).data());
    else
      (void)cJSON_AddNullToObject(item, "last_ending");
    number_or_null("alive_age_s", program.alive_age_s >= 0,
                   static_cast<double>(program.alive_age_s));
  }
  return root.release();
}

cJSON* absent_status_json() {
  unique_json root(cJSON_CreateObject());
  if (!root || cJSON_AddNullToObject(root.get(), "supervisor") == nullptr ||
      cJSON_AddArrayToObject(root.get(), "programs") == nullptr)
    return nullptr;
  return root.release();
}
