#pragma once

#include <array>
#include <string>

#include "platform/version_text.h"

namespace kesto::app {

// The version of this build, from the project version.
std::string ProgramVersionText();

// The hidden mode's key sequence, as Qt key codes (Qt::Key_A.. are 'A'..).
// Three different letters, so a key seen twice never advances two steps.
inline constexpr std::array<int, 3> kHiddenKeys = {'K', 'Z', 'J'};
inline constexpr int kHiddenModeStart = 3;
inline constexpr int kHiddenModeOn = 0;

// One key-down against the counter (3 at start, 0 once the sequence was
// typed). A key that does not fit the current step is ignored, without reset.
int AdvanceHiddenMode(int counter, int key);

}  // namespace kesto::app
