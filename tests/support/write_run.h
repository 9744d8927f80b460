#pragma once

// One RunUpdate with everything it left behind.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"
#include "platform/stop_signal.h"
#include "update/update_run.h"

namespace kesto::testing {

inline constexpr int32_t kResultSuccess = 0;
inline constexpr int32_t kResultDeviceError = 1;
inline constexpr int32_t kResultFileError = 2;
inline constexpr int32_t kResultInternalError = 3;
inline constexpr int32_t kResultNoConnection = 4;

// One number per outcome for tables of expected ends: the window's codes,
// the system error of a network failure, errors::kCanceled for a cancelled run.
inline int32_t CodeOf(const WriteOutcome& outcome) {
  switch (outcome.result) {
    case WriteResult::kNetworkError:
      return outcome.systemError;
    case WriteResult::kCancelled:
      return errors::kCanceled;
    default:
      return static_cast<int32_t>(outcome.result);
  }
}

// Its code, its log pieces as they came, the progress positions it reported
// and how long it took.
struct Outcome {
  int32_t code = -1;
  WriteOutcome end;
  std::vector<UpdatePhase> phases;
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
  hooks.phase = [&](UpdatePhase phase) { outcome.phases.push_back(phase); };
  outcome.end = RunUpdate(request, hooks, limits);
  outcome.code = CodeOf(outcome.end);
  outcome.took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  return outcome;
}

}  // namespace kesto::testing
