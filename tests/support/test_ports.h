#pragma once

#include <atomic>
#include <cstdint>

#include "platform/process.h"
#include "sim/simulator.h"

namespace kesto::testing {

// Ports for one test's simulator, distinct between tests of one process and,
// by the process id, between test programs that ctest runs side by side.
// Stays below the ephemeral ranges of Linux (32768..) and Windows (49152..).
inline sim::Ports NextTestPorts() {
  static std::atomic<int> counter{0};
  const int slot = counter++ % 10;
  const int base = 10000 + static_cast<int>(CurrentProcessId() % 700) * 30 + slot * 3;
  return {static_cast<uint16_t>(base), static_cast<uint16_t>(base + 1),
          static_cast<uint16_t>(base + 2)};
}

}  // namespace kesto::testing
