#pragma once

// Windows only: text at the boundary to the W calls, which take UTF-16.

#include <string>

namespace kesto {

// Empty for empty or malformed text.
std::wstring WideFromUtf8(const std::string& text);
std::string Utf8FromWide(const wchar_t* text);

}  // namespace kesto
