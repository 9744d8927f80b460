#pragma once

#include <cstdarg>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// MinGW's C++ library formats with its own C99 printf, so the checks follow
// GNU's rules there rather than Microsoft's; MSVC has no such checks.
#if defined(_MSC_VER) && !defined(__clang__)
#define KESTO_PRINTF_FORMAT(string, first)
#elif defined(__MINGW32__)
#define KESTO_PRINTF_FORMAT(string, first) __attribute__((format(gnu_printf, string, first)))
#else
#define KESTO_PRINTF_FORMAT(string, first) __attribute__((format(printf, string, first)))
#endif

namespace kesto {

// printf-style formatting into a std::string. Only ever called with format
// strings written in this program; texts from the network go in as arguments.
std::string Format(const char* format, ...) KESTO_PRINTF_FORMAT(1, 2);
std::string FormatV(const char* format, va_list args);

// The whole text as a decimal number of at most max: digits only, no sign,
// no blanks. Nothing for anything else, an overflow included.
std::optional<uint64_t> ParseDecimal(std::string_view text, uint64_t max);

// The system's own words for one of its error numbers, e.g. "Connection timed out".
std::string SystemErrorText(int error);

}  // namespace kesto
