#include "platform/format.h"

#include <charconv>
#include <cstdio>

namespace kesto {

std::string FormatV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length <= 0) return {};
  std::string text(static_cast<size_t>(length), '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, args);
  return text;
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  return text;
}

std::optional<uint64_t> ParseDecimal(std::string_view text, uint64_t max) {
  uint64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [where, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || where != end || value > max) return std::nullopt;
  return value;
}

}  // namespace kesto
