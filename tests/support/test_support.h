#pragma once

// A private folder for image files, bytes that show a lost chunk, and one
// RunUpdate with everything it reported.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/stop_signal.h"
#include "support/test_ports.h"
#include "update/preflight.h"
#include "update/update_run.h"

namespace kesto::testing {

class TempDir {
 public:
  TempDir()
      : path_(std::filesystem::temp_directory_path() /
              ("kesto-test-" + std::to_string(std::random_device()()))) {
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  std::string PathOf(const std::string& name) const { return (path_ / name).string(); }
  std::string Write(const std::string& name, std::string_view bytes) const {
    const std::string file = PathOf(name);
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return file;
  }

 private:
  std::filesystem::path path_;
};

// The image at path as the preflight prepares it; empty when it is refused.
inline PreparedImage Prepared(const std::string& path) {
  return PrepareImage(path).value_or(PreparedImage{});
}

// Bytes that differ from chunk to chunk, so a lost or repeated chunk shows.
inline std::string PatternBytes(size_t size, uint32_t seed = 1) {
  std::string bytes(size, '\0');
  uint32_t state = seed * 2654435761u + 1;
  for (char& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<char>(state >> 24);
  }
  return bytes;
}

// Limits short enough for tests (answer, attempts, connection, stall); a test
// whose point is a limit sets its own.
inline UpdateLimits TestLimits() {
  return {2000, 3, 3000, 3000};
}

struct Outcome {
  WriteOutcome end;
  std::vector<UpdatePhase> phases;
  std::vector<int> progress;
  std::string log;  // as it came
};

// onPhase runs on the writer's thread as each phase is entered.
inline Outcome RunWrite(const UpdateRequest& request, const UpdateLimits& limits,
                        const StopSignal* stop = nullptr,
                        const std::function<void(UpdatePhase)>& onPhase = {},
                        Listener listener = {}) {
  Outcome outcome;
  UpdateHooks hooks;
  hooks.log = [&](std::string_view piece) { outcome.log += piece; };
  hooks.progress = [&](int percent) { outcome.progress.push_back(percent); };
  hooks.phase = [&](UpdatePhase phase) {
    outcome.phases.push_back(phase);
    if (onPhase) onPhase(phase);
  };
  hooks.stop = stop;
  outcome.end = RunUpdate(request, hooks, limits, std::move(listener));
  return outcome;
}

}  // namespace kesto::testing
