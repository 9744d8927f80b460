#pragma once

// The simulator's services (discovery, information, update) share one loop
// thread. Each owns its sockets and tells the loop which to watch, what to do
// when one is readable, and when it next has work that no socket announces.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/net_types.h"
#include "platform/socket.h"
#include "sim/hostile.h"
#include "sim/simulator.h"

namespace kesto::sim {

class Observations;

using Clock = std::chrono::steady_clock;

bool IsLoopback(Ipv4Address address);
// The neighbour of a device (last byte 200, or 201 for the device at 200).
Ipv4Address StrangerOf(Ipv4Address device);

// What the services have in common; touched only on the loop's thread.
struct Fleet {
  Fleet(const std::vector<DeviceConfig>& configs, Observations& observed, bool loopback)
      : devices(configs), observations(observed), loopbackOnly(loopback) {}

  // The addresses, the device sockets and the stranger. 0 or the first error.
  int Bind(uint16_t updatePort);
  bool Allowed(Ipv4Address sender) const { return !loopbackOnly || IsLoopback(sender); }

  const std::vector<DeviceConfig>& devices;
  Observations& observations;
  const bool loopbackOnly;
  std::vector<Ipv4Address> addresses;
  // Each device's datagram socket at its update port: the update service reads
  // it, and the discovery replies leave through it, from the device's address.
  std::vector<Socket> deviceSockets;
  Socket stranger;              // wildcard-bound: speaks for strangers and phantoms
  std::vector<Random> randoms;  // each device's hostile choices made on the loop
};

class Service {
 public:
  virtual ~Service() = default;
  // Does what is due by now (replies, answers on their way, time limits).
  virtual void RunDue(Clock::time_point now) = 0;
  // Appends the sockets to watch until the next turn; a null entry keeps a place.
  virtual void Watch(std::vector<const Socket*>& sockets, Clock::time_point now) = 0;
  // The socket at index among those this service appended is readable.
  virtual void OnReadable(size_t index, Clock::time_point now) = 0;
  // When RunDue next has something to do.
  virtual Clock::time_point NextWake(Clock::time_point now) const = 0;
};

}  // namespace kesto::sim
