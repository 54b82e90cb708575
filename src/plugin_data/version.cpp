#include "plugin_data/version.h"

#include <array>
#include <cstring>

namespace {

// Version texts are short; a longer one is not a version this daemon wrote.
constexpr std::size_t version_capacity = 256;
constexpr int version_components = 4;

// The low byte of the component's number. Bytes are not checked for being
// digits: every byte counts as its code minus '0', in wrap-around arithmetic.
uint32_t component_byte(const char* component) {
  uint32_t number = 0;
  for (const char* p = component; *p != '\0'; ++p) {
    number = number * 10U + (static_cast<uint32_t>(static_cast<unsigned char>(*p)) - 48U);
  }
  return number & 0xFFU;
}

}  // namespace

uint32_t dotted_version_value(const char* text) {
  if (text == nullptr) return 0;
  // strtok_r writes into what it splits, so it works on a private copy. A text
  // that does not fit the copy cannot be read whole and counts as value 0, the
  // oldest version there is, rather than being judged by a cut-off prefix.
  const std::size_t length = ::strnlen(text, version_capacity);
  if (length == version_capacity) return 0;
  std::array<char, version_capacity> copy{};
  std::memcpy(copy.data(), text, length);

  uint32_t value = 0;
  char* state = nullptr;
  char* component = ::strtok_r(copy.data(), ".", &state);
  for (int index = 0; index < version_components && component != nullptr; ++index) {
    value |= component_byte(component) << (8 * (version_components - 1 - index));
    component = ::strtok_r(nullptr, ".", &state);
  }
  return value;
}

int compare_versions(const char* a, const char* b) {
  // Compared as unsigned numbers: a difference taken as signed would make
  // versions from 129.0.0.1 up look older than 1.0.0.1.
  const uint32_t left = dotted_version_value(a);
  const uint32_t right = dotted_version_value(b);
  if (left < right) return -1;
  return left > right ? 1 : 0;
}
