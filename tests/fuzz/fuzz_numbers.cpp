// The number readers against the C library's own conversions: strtoull for
// the unsigned reader (whose result lands in a signed 32-bit field, with
// 4294967295 for anything too large), strtoll cut to 32 bits for the atoi one.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>

#include "discovery/device_query.h"
#include "fuzz_check.h"

namespace {

bool IsCSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

int32_t ExpectedUnsigned(const std::string& text) {
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (errno == ERANGE) return -1;
  size_t at = 0;
  while (at < text.size() && IsCSpace(text[at])) ++at;
  const bool negative = at < text.size() && text[at] == '-';
  // strtoull has already negated a negative value modulo 2^64.
  const unsigned long long magnitude = negative ? 0ull - value : value;
  if (magnitude > std::numeric_limits<uint32_t>::max()) return -1;
  const uint32_t low = static_cast<uint32_t>(magnitude);
  return static_cast<int32_t>(negative ? 0u - low : low);
}

int32_t ExpectedInt(const std::string& text) {
  errno = 0;
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kesto;
  const std::string text(reinterpret_cast<const char*>(data), size);
  // The C functions end at the first NUL, as the device's text does.
  const std::string cText = text.substr(0, text.find('\0'));
  KESTO_FUZZ_CHECK(ReadUnsignedNumber(text) == ExpectedUnsigned(cText));
  KESTO_FUZZ_CHECK(ReadIntNumber(text) == ExpectedInt(cText));
  return 0;
}
