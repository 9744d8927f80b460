#pragma once

#include <cstdarg>
#include <string>

namespace kesto {

// printf-style formatting into a std::string. Only ever called with format
// strings written in this program; texts from the network go in as arguments.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* format, va_list args);

// The system's own words for one of its error numbers, e.g. "Connection timed out".
std::string SystemErrorText(int error);

}  // namespace kesto
