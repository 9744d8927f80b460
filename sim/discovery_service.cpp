#include "sim/discovery_service.h"

#include <algorithm>

#include "sim/device_protocol.h"
#include "sim/device_socket.h"
#include "sim/observations.h"

namespace kesto::sim {
namespace {

using std::chrono::milliseconds;

// First of the addresses that flood replies come from: 127.77.0.1 and up.
constexpr uint32_t kPhantomBase = 0x7f4d0000;

}  // namespace

int DiscoveryService::Bind(uint16_t port) {
  int error = 0;
  // SO_REUSEADDR lets other simulators on the same host share the port.
  if ((error = OpenSocket(socket_, SOCK_DGRAM)) ||
      (error = ErrorNumber(socket_.SetOption(SOL_SOCKET, SO_REUSEADDR, 1))) ||
      (error = ErrorNumber(socket_.SetOption(SOL_SOCKET, SO_BROADCAST, 1))) ||
      (error = ErrorNumber(socket_.SetOption(IPPROTO_IP, IP_PKTINFO, 1))) ||
      (error = ErrorNumber(socket_.Bind(MakeSocketAddress(INADDR_ANY, port)))))
    return error;
  return 0;
}

void DiscoveryService::Watch(std::vector<const Socket*>& sockets, Clock::time_point) {
  sockets.push_back(&socket_);
}

Clock::time_point DiscoveryService::NextWake(Clock::time_point) const {
  return replies_.empty() ? Clock::time_point::max() : replies_.begin()->first;
}

Ipv4Address DiscoveryService::FloodSource(size_t device, int n, bool loopback) const {
  if (!fleet_.devices[device].faults.floodFromPhantoms || !loopback) return 0;
  return htonl(kPhantomBase + static_cast<uint32_t>(n));
}

void DiscoveryService::OnReadable(size_t, Clock::time_point now) {
  uint8_t request[64];
  sockaddr_in from{};
  Ipv4Address destination = 0;
  const Result<size_t> r =
      ReceiveWithDestination(socket_, request, sizeof request, from, destination);
  if (!r || *r != 2 || request[0] != 'L' || request[1] != 'N') return;
  if (!fleet_.Allowed(from.sin_addr.s_addr)) return;
  const std::vector<bool> restarting = fleet_.observations.DiscoveryRequest(now);
  // Strangers and phantoms can only be spoken for on loopback, where every
  // 127.x.y.z address is this host's.
  const bool loopback = IsLoopback(from.sin_addr.s_addr);
  // A request sent to one device's address is that device's alone.
  const auto& addresses = fleet_.addresses;
  const auto addressed = std::find(addresses.begin(), addresses.end(), destination);
  const bool direct = addressed != addresses.end();
  for (size_t i = 0; i < fleet_.devices.size(); ++i) {
    const DeviceFaults& faults = fleet_.devices[i].faults;
    if (direct && i != static_cast<size_t>(addressed - addresses.begin())) continue;
    if (faults.noDiscoveryReply || restarting[i] || (!direct && faults.noBroadcastReply)) continue;
    const auto due = now + milliseconds(faults.replyDelayMs);
    const Ipv4Address source =
        faults.discoveryFromStranger && loopback ? StrangerOf(addresses[i]) : 0;
    for (int k = faults.replyTwice ? 2 : 1; k > 0; --k)
      replies_.emplace(due, ScheduledReply{i, from, source});
    // One flood reply queued at a time: even a huge flood costs nothing up front.
    if (faults.floodReplies > 0)
      replies_.emplace(due + milliseconds(faults.floodIntervalMs),
                       ScheduledReply{i, from, FloodSource(i, 1, loopback), 1});
  }
}

void DiscoveryService::RunDue(Clock::time_point now) {
  while (!replies_.empty() && replies_.begin()->first <= now) {
    const ScheduledReply reply = replies_.begin()->second;
    replies_.erase(replies_.begin());
    const DeviceConfig& config = fleet_.devices[reply.device];
    const std::vector<uint8_t> bytes =
        config.faults.randomDiscoveryReply
            ? RandomDiscoveryReply(fleet_.randoms[reply.device], config)
            : DiscoveryReplyBytes(config);
    if (reply.source != 0)
      static_cast<void>(
          SendToFrom(fleet_.stranger, bytes.data(), bytes.size(), reply.source, reply.to));
    else
      static_cast<void>(
          fleet_.deviceSockets[reply.device].SendTo(bytes.data(), bytes.size(), reply.to));
    if (reply.flood > 0 && reply.flood < config.faults.floodReplies) {
      const int next = reply.flood + 1;
      const bool loopback = IsLoopback(reply.to.sin_addr.s_addr);
      replies_.emplace(
          now + milliseconds(config.faults.floodIntervalMs),
          ScheduledReply{reply.device, reply.to, FloodSource(reply.device, next, loopback), next});
    }
  }
}

}  // namespace kesto::sim
