#pragma once

#include <string>

namespace kesto::app {

// "Version 1.03" from the running program's own version resource; the
// build's own version when the resource or its translation entry is missing.
std::string OwnVersionText();

}  // namespace kesto::app
