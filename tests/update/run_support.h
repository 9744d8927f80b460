#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/stop_signal.h"
#include "update/update_run.h"

namespace kesto::testing {

// What one RunUpdate left behind: its code, its log pieces as they came, the
// progress positions it reported.
struct Outcome {
  int32_t code = -1;
  std::vector<std::string> pieces;
  std::vector<int> progress;

  std::string Log() const {
    std::string text;
    for (const std::string& piece : pieces) text += piece;
    return text;
  }
  size_t Count(std::string_view piece) const {
    return static_cast<size_t>(std::count(pieces.begin(), pieces.end(), piece));
  }
  bool Logged(std::string_view piece) const { return Count(piece) > 0; }
};

// Limits short enough for tests; a test whose point is a limit sets its own.
inline UpdateLimits TestLimits() {
  UpdateLimits limits;
  limits.answerWaitMs = 2000;
  limits.attempts = 3;
  limits.connectWaitMs = 3000;
  limits.stallMs = 3000;
  return limits;
}

inline Outcome RunWrite(const UpdateRequest& request, const UpdateLimits& limits,
                        const StopSignal* stop = nullptr,
                        const std::function<void(std::string_view)>& onLog = {}) {
  Outcome outcome;
  UpdateHooks hooks;
  hooks.log = [&](std::string_view piece) {
    outcome.pieces.emplace_back(piece);
    if (onLog) onLog(piece);
  };
  hooks.progress = [&](int percent) { outcome.progress.push_back(percent); };
  hooks.stop = stop;
  outcome.code = RunUpdate(request, hooks, limits);
  return outcome;
}

}  // namespace kesto::testing
