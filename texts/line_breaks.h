#pragma once

// Texts break lines with "\r\n" or "\n"; each display wants its own ending.

#include <string>
#include <string_view>

namespace kesto {

// text with every "\r\n" and every lone "\n" replaced by lineEnd.
std::string WithLineBreaks(std::string_view text, std::string_view lineEnd);

}  // namespace kesto
