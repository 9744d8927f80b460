#pragma once

#include "support/temp_files.h"
#include "support/write_run.h"

namespace kesto::testing {

// Limits short enough for tests; a test whose point is a limit sets its own.
inline UpdateLimits TestLimits() {
  UpdateLimits limits;
  limits.answerWaitMs = 2000;
  limits.attempts = 3;
  limits.connectWaitMs = 3000;
  limits.stallMs = 3000;
  return limits;
}

}  // namespace kesto::testing
