// Loading `config` from arbitrary bytes: the result is 0 or -1, and on 0 the
// slots agree with an independent reading of the same bytes.
#include <cjson/cJSON.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "startup/config.h"
#include "util/handles.h"

namespace {

struct expected_load {
  int result = -1;
  int count = 0;
  std::array<std::string, max_processes> names;
  std::array<std::string, max_processes> alive_paths;
};

std::string cut_to_buffer(const std::string& text) {
  return text.substr(0, sizeof(text_buffer) - 1);
}

// Element by index, as a plain reading of the format has it.
expected_load read_independently(const std::string& text) {
  expected_load expected;
  const unique_json document(text.empty() ? nullptr : cJSON_Parse(text.c_str()));
  if (!document) return expected;
  const cJSON* watch = cJSON_GetObjectItem(document.get(), "__watch");
  const cJSON* processes = cJSON_GetObjectItem(watch, "processes");
  const int elements = cJSON_GetArraySize(processes);
  expected.result = 0;
  if (elements == 0) {
    expected.count = 1;
    expected.names[0] = "corvex-dpi-inner";
    return expected;
  }
  for (int i = 0; i < elements; ++i) {
    const cJSON* element = cJSON_GetArrayItem(processes, i);
    const cJSON* base = cJSON_GetObjectItem(element, "base");
    if (!cJSON_IsString(base)) return expected_load{};
    if (i >= max_processes) continue;
    expected.names[i] = cut_to_buffer(base->valuestring);
    if (cJSON_IsTrue(cJSON_GetObjectItem(element, "excheck")))
      expected.alive_paths[i] =
          cut_to_buffer(std::string("/tmp/.uci//") + base->valuestring + ".alive");
  }
  expected.count = elements < max_processes ? elements : max_processes;
  return expected;
}

// The empty text, or one inside the state's pool, terminated within its
// capacity of 4,095 characters.
bool well_kept(const supervisor_state& state, const state_text& text) {
  if (text.text == nullptr) return true;
  const char* pool_end = state.pool.data() + state.pool.size();
  if (text.text < state.pool.data() || text.text >= pool_end) return false;
  const auto room = static_cast<std::size_t>(pool_end - text.text);
  return ::strnlen(text.text, room) < sizeof(text_buffer);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  enter_private_tree(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  write_bytes("config", data, size);
  const auto state = std::make_unique<supervisor_state>();  // zero-filled
  const int result = load_config("config", state.get());
  FUZZ_CHECK(result == 0 || result == -1);

  const expected_load expected = read_independently(json_text_of(data, size));
  FUZZ_CHECK(result == expected.result);
  if (result != 0) return 0;
  FUZZ_CHECK(state->process_count >= 1 && state->process_count <= max_processes);
  FUZZ_CHECK(state->process_count == expected.count);
  for (int i = 0; i < max_processes; ++i) {
    const process_slot& slot = state->slots[i];
    FUZZ_CHECK(well_kept(*state, slot.name) && well_kept(*state, slot.alive_path));
    FUZZ_CHECK(slot.name.data() == expected.names[i]);
    FUZZ_CHECK(slot.alive_path.data() == expected.alive_paths[i]);
    FUZZ_CHECK(slot.pid == 0 && slot.watchdog_kill == 0 && slot.missed_checks == 0);
  }
  // Nothing outside the slots is set by a load.
  FUZZ_CHECK(state->run_file_path[0] == '\0' && state->run_fd == 0 && state->plugin_mode == 0);
  return 0;
}
