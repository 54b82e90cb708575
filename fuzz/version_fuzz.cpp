// Dotted versions of arbitrary text: the packed value equals a plain
// reference reading, and compare_versions is antisymmetric and orders texts
// as their values. The input is two texts split at the first NUL byte.
#include <string>

#include "fuzz_support.h"
#include "plugin_data/version.h"

namespace {

// Split at dots with strtok_r on a copy; four components, each the sum of
// its bytes minus '0' in wrap-around arithmetic, kept modulo 256.
uint32_t reference_value(const std::string& text) {
  std::string copy = text;
  char* state = nullptr;
  uint32_t value = 0;
  int index = 0;
  for (char* token = strtok_r(copy.data(), ".", &state); token != nullptr && index < 4;
       token = strtok_r(nullptr, ".", &state), ++index) {
    uint32_t number = 0;
    for (const char* c = token; *c != '\0'; ++c)
      number = number * 10U + (static_cast<uint32_t>(static_cast<unsigned char>(*c)) - 48U);
    value |= (number % 256U) << (24 - 8 * index);
  }
  return value;
}

int sign_of(int n) { return (n > 0) - (n < 0); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::size_t split = bytes.find('\0');
  const std::string a = bytes.substr(0, split);
  const std::string b = split == std::string::npos ? std::string(baseline_version)
                                                   : std::string(bytes.c_str() + split + 1);

  const uint32_t value_a = dotted_version_value(a.c_str());
  const uint32_t value_b = dotted_version_value(b.c_str());
  FUZZ_CHECK(value_a == reference_value(a));
  FUZZ_CHECK(value_b == reference_value(b));
  // The text itself is left as it was.
  FUZZ_CHECK(a == bytes.substr(0, split) && b.find('\0') == std::string::npos);

  const int ab = compare_versions(a.c_str(), b.c_str());
  const int ba = compare_versions(b.c_str(), a.c_str());
  FUZZ_CHECK(sign_of(ab) == -sign_of(ba));
  FUZZ_CHECK(sign_of(ab) == (value_a > value_b) - (value_a < value_b));
  FUZZ_CHECK(compare_versions(a.c_str(), a.c_str()) == 0);
  return 0;
}
