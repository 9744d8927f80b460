#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/net_types.h"

namespace kesto {

inline constexpr size_t kInterfaceTableSize = 256;

// One usable local IPv4 address.
struct InterfaceRecord {
  std::string friendlyName;
  Ipv4Address address = 0;  // network byte order
  Ipv4Address mask = 0;     // network byte order
};

// At most kInterfaceTableSize records, in the order the system lists them;
// selector row k shows record k.
using InterfaceTable = std::vector<InterfaceRecord>;

// One address of one interface as the system reports it, before filtering.
struct SystemAddress {
  std::string interfaceName;  // the name shown to the operator (the friendly name)
  bool up = false;
  bool running = false;
  bool loopback = false;
  size_t hardwareAddressLength = 0;
  Ipv4Address address = 0;
  Ipv4Address mask = 0;
};

// Keeps the addresses an operator can search from: IPv4 on an interface that
// is up and running, not loopback, with a hardware address; never 127.0.0.1.
InterfaceTable BuildInterfaceTable(const std::vector<SystemAddress>& addresses);

// Reads the host's interfaces (getifaddrs, GetAdaptersAddresses on Windows), or the system's
// error (FileCategory) when they cannot be read.
[[nodiscard]] Result<std::vector<SystemAddress>> ReadSystemAddresses();

// The usable interfaces; an empty table when the host has none.
[[nodiscard]] inline Result<InterfaceTable> EnumerateInterfaces() {
  return ReadSystemAddresses().map(BuildInterfaceTable);
}

// "%s (%s)": address and friendly name, e.g. "192.168.0.10 (eth0)".
std::string InterfaceEntryText(const InterfaceRecord& record);

// Whether address is one of this host's IPv4 addresses (any interface, loopback included).
[[nodiscard]] Result<bool> IsHostAddress(Ipv4Address address);

// The local address the routing table would send from to reach destination,
// or the system's error (SocketCategory), e.g. when there is no route. Nothing is sent.
[[nodiscard]] Result<Ipv4Address> RouteLocalAddress(Ipv4Address destination);

// The first IPv4 address of the interface called name (loopback included),
// e.g. "eth1"; nullopt when there is none.
[[nodiscard]] Result<std::optional<Ipv4Address>> InterfaceAddressNamed(const std::string& name);

}  // namespace kesto
