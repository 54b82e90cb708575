#include "startup/config.h"

#include "util/format.h"
#include "util/handles.h"
#include "util/json_file.h"

namespace {

// Fills slot `index` from one element of "processes". -1 without a string "base".
int fill_slot(const cJSON* element, int index, supervisor_state* state) {
  const char* base = json_get_string(element, "base");
  if (base == nullptr) return -1;
  if (index >= max_processes) return 0;  // checked, but fills nothing
  process_slot& slot = state->slots[index];
  // Over-long texts are cut to the buffer, as for every name and path.
  (void)format_into(slot.name, "%s", base);
  slot.pid = 0;
  if (json_is_true(element, "excheck") == 1)
    (void)format_into(slot.alive_path, "%s/%s.alive", uci_directory, base);
  return 0;
}

}  // namespace

void use_default_process(supervisor_state* state) {
  state->process_count = 1;
  (void)format_into(state->slots[0].name, "%s", default_process_name);
}

int load_config(const char* path, supervisor_state* state) {
  const unique_json document(read_json_file(path));
  if (!document) return -1;
  const cJSON* watch = cJSON_GetObjectItem(document.get(), "__watch");
  const cJSON* processes = watch != nullptr ? cJSON_GetObjectItem(watch, "processes") : nullptr;
  const int count = processes != nullptr ? cJSON_GetArraySize(processes) : 0;
  if (count == 0) {
    use_default_process(state);
    return 0;
  }
  state->process_count = count < max_processes ? count : max_processes;
  for (int i = 0; i < count; ++i) {
    if (fill_slot(cJSON_GetArrayItem(processes, i), i, state) != 0) return -1;
  }
  return 0;
}
