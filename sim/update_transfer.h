#pragma once

// The TCP half of a simulated device's update receiver: once the handshake
// over UDP is done, the device connects back to the writer's listener, takes
// the image piece by piece and gives its final answer. Runs on a worker thread
// of its own so that a slow or stalled transfer holds up nothing else.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/net_types.h"
#include "sim/device_protocol.h"
#include "sim/simulator.h"

namespace kesto {
class StopSignal;
}

namespace kesto::sim {

// What the simulator offers a transfer.
class TransferHost {
 public:
  virtual ~TransferHost() = default;
  // Called exactly once per transfer, before the device's final answer is sent.
  virtual void Finished(size_t device, UpdateSession session) = 0;
  // The stranger got bytes from the writer's listener.
  virtual void StrangerServed() = 0;
  // Runs work on a thread that Stop joins; dropped when the simulator is stopping.
  virtual void StartWorker(std::function<void(const StopSignal&)> work) = 0;
};

struct TransferJob {
  size_t device = 0;
  DeviceConfig config;
  Invitation invitation;
  sockaddr_in writer{};  // sender of the invitation; its port is replaced by the invitation's
  std::vector<std::string> authMessages;
  uint32_t seed = 0;        // the device's faults.seed
  uint32_t stream = 0;      // this transfer's own stream of random choices
  Ipv4Address from = 0;     // 0: connect from the device's address
  bool asStranger = false;  // a stranger's transfer: never a session of the device
};

// A real receiver gives up when no data comes for about a second.
inline constexpr int kTransferIdleMs = 1000;

void RunTransfer(TransferHost& host, const TransferJob& job, const StopSignal& stop);

}  // namespace kesto::sim
