#include "util/text_escape.h"

#include <cstdio>
#include <cstring>

namespace {

// The length of the valid UTF-8 sequence at `at` (1 to 4), or 0. Overlong
// forms and surrogates are invalid.
std::size_t utf8_length(const unsigned char* at) {
  const unsigned char lead = at[0];
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned int low = 0x80;
  unsigned int high = 0xbf;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) low = 0xa0;
    if (lead == 0xed) high = 0x9f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) low = 0x90;
    if (lead == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (at[1] < low || at[1] > high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if (at[i] < 0x80 || at[i] > 0xbf) return 0;
  return length;
}

bool is_control(const unsigned char* at, std::size_t length) {
  if (length == 1) return at[0] < 0x20 || at[0] == 0x7f;
  return length == 2 && at[0] == 0xc2 && at[1] < 0xa0;
}

}  // namespace

bool escape_text(const char* text, char* out, std::size_t size) {
  if (size == 0) return false;
  std::size_t used = 0;
  for (const auto* at = reinterpret_cast<const unsigned char*>(text); *at != '\0';) {
    const std::size_t length = utf8_length(at);
    char piece[16] = {};
    std::size_t piece_length = 0;
    if (length == 0 || is_control(at, length)) {
      // A C1 control is two bytes; both are shown.
      const std::size_t shown = length == 0 ? 1 : length;
      for (std::size_t i = 0; i < shown; ++i)
        piece_length += static_cast<std::size_t>(
            std::snprintf(piece + piece_length, sizeof piece - piece_length, "\\x%02x", at[i]));
      at += shown;
    } else if (*at == '\\') {
      piece_length = 2;
      piece[0] = '\\';
      piece[1] = '\\';
      ++at;
    } else {
      piece_length = length;
      std::memcpy(piece, at, length);
      at += length;
    }
    if (used + piece_length >= size) {
      out[used] = '\0';
      return false;
    }
    std::memcpy(out + used, piece, piece_length);
    used += piece_length;
  }
  out[used] = '\0';
  return true;
}

bool replace_invalid_utf8(const char* text, char* out, std::size_t size) {
  if (size == 0) return false;
  std::size_t used = 0;
  for (const auto* at = reinterpret_cast<const unsigned char*>(text); *at != '\0';) {
    const std::size_t length = utf8_length(at);
    const char* piece = length == 0 ? "\xef\xbf\xbd" : reinterpret_cast<const char*>(at);
    const std::size_t piece_length = length == 0 ? 3 : length;
    if (used + piece_length >= size) {
      out[used] = '\0';
      return false;
    }
    std::memcpy(out + used, piece, piece_length);
    used += piece_length;
    at += length == 0 ? 1 : length;
  }
  out[used] = '\0';
  return true;
}
