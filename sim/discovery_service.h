#pragma once

// The discovery responder: every device hears the broadcast through one shared
// socket, and each reply waits in a timer queue, so that one device's delay or
// flood holds up no other.

#include <map>

#include "sim/service.h"

namespace kesto::sim {

class DiscoveryService final : public Service {
 public:
  explicit DiscoveryService(Fleet& fleet) : fleet_(fleet) {}
  int Bind(uint16_t port);

  void RunDue(Clock::time_point now) override;
  void Watch(std::vector<const Socket*>& sockets, Clock::time_point now) override;
  void OnReadable(size_t index, Clock::time_point now) override;
  Clock::time_point NextWake(Clock::time_point now) const override;

 private:
  struct ScheduledReply {
    size_t device = 0;
    sockaddr_in to{};
    Ipv4Address source = 0;  // 0: from the device's own socket
    int flood = 0;           // >0: the flood's nth reply; the next is queued when it goes
  };

  // Where the nth reply of a device's flood comes from (0: the device itself).
  Ipv4Address FloodSource(size_t device, int n, bool loopback) const;

  Fleet& fleet_;
  Socket socket_;
  std::multimap<Clock::time_point, ScheduledReply> replies_;  // equal times keep their order
};

}  // namespace kesto::sim
