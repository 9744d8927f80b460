#pragma once

// One RunUpdate with everything it left behind.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/stop_signal.h"
#include "update/update_run.h"

namespace kesto::testing {

// Its code, its log pieces as they came, the progress positions it reported
// and how long it took.
struct Outcome {
  int32_t code = -1;
  std::vector<std::string> pieces;
  std::vector<int> progress;
  std::chrono::milliseconds took{0};

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
  const auto start = std::chrono::steady_clock::now();
  outcome.code = RunUpdate(request, hooks, limits);
  outcome.took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  return outcome;
}

}  // namespace kesto::testing
