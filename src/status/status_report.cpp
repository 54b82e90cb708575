#include "status/status_report.h"

#include <array>
#include <cstring>
#include <ctime>

#include "util/format.h"
#include "util/handles.h"

namespace {

using cell = std::array<char, 32>;

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
    const int length = static_cast<int>(std::strlen(status.config.slots[i].name.data()));
    if (length > width) width = length < 40 ? length : 40;
  }
  return width;
}

void print_program_row(std::FILE* out, const supervisor_status& status, int index, int width) {
  const program_status& program = status.programs[index];
  const char* name = status.config.slots[index].name.data();
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
    const char* name = status.config.slots[i].name.data();
    const int padding = width - static_cast<int>(std::strlen(name));
    const char* newline = std::strchr(last, '\n');
    const int first =
        newline != nullptr ? static_cast<int>(newline - last) : static_cast<int>(std::strlen(last));
    (void)std::fprintf(out, "  %s: %*s%.*s\n", name, padding > 0 ? padding : 0, "", first, last);
    if (newline != nullptr) (void)std::fprintf(out, "  %*s  %s\n", width, "", newline + 1);
  }
}

}  // namespace

void print_status_table(std::FILE* out, const supervisor_status& status) {
  const long long now = std::time(nullptr);
  (void)std::fprintf(out, "supervisor %s, pid %d, up since %s (%s), %s\n", status.name.data(),
                     static_cast<int>(status.pid), local_time(status.started_s).data(),
                     duration(now - status.started_s).data(), watchdog_text(status));
  (void)std::fprintf(out, "directory %s\n", status.directory.data());
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
  (void)cJSON_AddStringToObject(supervisor, "name", status.name.data());
  (void)cJSON_AddNumberToObject(supervisor, "pid", status.pid);
  (void)cJSON_AddStringToObject(supervisor, "directory", status.directory.data());
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
    (void)cJSON_AddStringToObject(item, "name", status.config.slots[i].name.data());
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
      (void)cJSON_AddStringToObject(item, "last_ending", program.endings.last.data());
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
