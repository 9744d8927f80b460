#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdint>

#include "sim/simulator.h"

namespace kesto::testing {

// Ports for one test's simulator, distinct between tests of one process and,
// by the process id, between test programs that ctest runs side by side.
// Stays below Linux's ephemeral range (32768..).
inline sim::Ports NextTestPorts() {
  static std::atomic<int> counter{0};
  const int slot = counter++ % 10;
  const int base = 10000 + static_cast<int>(getpid() % 700) * 30 + slot * 3;
  return {static_cast<uint16_t>(base), static_cast<uint16_t>(base + 1),
          static_cast<uint16_t>(base + 2)};
}

}  // namespace kesto::testing
