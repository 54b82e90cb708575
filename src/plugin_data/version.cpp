#include "plugin_data/version.h"

uint32_t dotted_version_value(const char* text) {
  if (text == nullptr) return 0;
  // Components are the runs of bytes between dots (runs of dots and leading or
  // trailing dots make no empty component). Bytes are not checked for being
  // digits: each counts as its code minus '0', in wrap-around arithmetic, and
  // a component keeps the low byte of its number. Read in place, so a text of
  // any length is judged whole.
  constexpr int version_components = 4;
  uint32_t value = 0;
  int index = 0;
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  while (index < version_components) {
    while (*p == '.') ++p;
    if (*p == '\0') break;
    uint32_t number = 0;
    for (; *p != '\0' && *p != '.'; ++p) number = number * 10U + (uint32_t{*p} - 48U);
    value |= (number & 0xFFU) << (8 * (version_components - 1 - index));
    ++index;
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
