#include "startup/config.h"

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
  (void)store_text(state, &slot.name, "%s", base);
  slot.pid = 0;
  if (json_is_true(element, "excheck") == 1)
    (void)store_text(state, &slot.alive_path, "%s/%s.alive", uci_directory, base);
  return 0;
}

}  // namespace

void use_default_process(supervisor_state* state) {
  state->process_count = 1;
  (void)store_text(state, &state->slots[0].name, "%s", default_process_name);
}

int load_config(const char* path, supervisor_state* state) {
  const unique_json document(read_json_file(path));
  if (!document) return -1;
  const cJSON* watch = cJSON_GetObjectItem(document.get(), "__watch");
  const cJSON* processes = watch != nullptr ? cJSON_GetObjectItem(watch, "processes") : nullptr;
  if (processes == nullptr || processes->child == nullptr) {
    use_default_process(state);
    return 0;
  }
  // One walk along the element list: fetching each element by its index
  // would start from the head every time, quadratic in a long list.
  int index = 0;
  const cJSON* element = nullptr;
  cJSON_ArrayForEach(element, processes) {
    if (fill_slot(element, index, state) != 0) return -1;
    if (index < max_processes) state->process_count = ++index;
  }
  return 0;
}
