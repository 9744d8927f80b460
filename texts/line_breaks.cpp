#include "texts/line_breaks.h"

namespace kesto {

std::string WithLineBreaks(std::string_view text, std::string_view lineEnd) {
  std::string lines;
  lines.reserve(text.size());
  for (size_t at = 0; at < text.size(); ++at) {
    if (text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n') continue;
    if (text[at] == '\n')
      lines += lineEnd;
    else
      lines += text[at];
  }
  return lines;
}

}  // namespace kesto
