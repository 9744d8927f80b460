#pragma once

#include <cstdint>

namespace kesto {

// The ports a KESTO device serves: the discovery responder (UDP), the
// information service (TCP) and the update receiver (UDP). Tests, the demo
// and the simulator move them together.
struct DevicePorts {
  uint16_t discovery = 30718;
  uint16_t query = 9998;
  uint16_t update = 3232;
};

inline constexpr DevicePorts kDevicePorts{};
inline constexpr uint16_t kDiscoveryPort = kDevicePorts.discovery;
inline constexpr uint16_t kQueryPort = kDevicePorts.query;
inline constexpr uint16_t kUpdatePort = kDevicePorts.update;

}  // namespace kesto
