#include "core/state.h"

#include <cstdarg>
#include <cstdio>

bool store_text(supervisor_state* state, state_text* field, const char* format, ...) {
  char* at = state->pool.data() + state->pool_used;
  std::size_t room = state->pool.size() - state->pool_used;
  if (room > sizeof(text_buffer)) room = sizeof(text_buffer);
  if (room == 0) {  // only when a state is filled more than once
    field->text = nullptr;
    return false;
  }
  va_list args;
  va_start(args, format);
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started just above
  const int length = std::vsnprintf(at, room, format, args);
  va_end(args);
  if (length < 0) at[0] = '\0';
  const std::size_t stored = length < 0 ? 0 : static_cast<std::size_t>(length);
  const std::size_t used = stored < room ? stored : room - 1;
  state->pool_used += used + 1;
  field->text = at;
  return length >= 0 && stored < room;
}
