#pragma once

#include <cstdarg>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kesto {

// printf-style formatting into a std::string. Only ever called with format
// strings written in this program; texts from the network go in as arguments.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* format, va_list args);

// The whole text as a decimal number of at most max: digits only, no sign,
// no blanks. Nothing for anything else, an overflow included.
std::optional<uint64_t> ParseDecimal(std::string_view text, uint64_t max);

// The system's own words for one of its error numbers, e.g. "Connection timed out".
std::string SystemErrorText(int error);

}  // namespace kesto
