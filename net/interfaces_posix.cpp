// The host's addresses from getifaddrs(); the filtering is in interfaces.cpp.

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>

#include <cerrno>
#include <map>

#include "net/interfaces.h"

namespace kesto {
namespace {

// Hardware address lengths by interface name, from the AF_PACKET entries.
std::map<std::string, size_t> HardwareAddressLengths(const ifaddrs* list) {
  std::map<std::string, size_t> lengths;
  for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_PACKET || !entry->ifa_name) continue;
    const auto* link = reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr);
    lengths[entry->ifa_name] = link->sll_halen;
  }
  return lengths;
}

}  // namespace

Result<std::vector<SystemAddress>> ReadSystemAddresses() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return Failure(FileError(errno));
  const auto hardwareLengths = HardwareAddressLengths(list);
  std::vector<SystemAddress> addresses;
  for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || !entry->ifa_name) continue;
    SystemAddress address;
    address.interfaceName = entry->ifa_name;
    address.up = entry->ifa_flags & IFF_UP;
    address.running = entry->ifa_flags & IFF_RUNNING;
    address.loopback = entry->ifa_flags & IFF_LOOPBACK;
    const auto found = hardwareLengths.find(entry->ifa_name);
    address.hardwareAddressLength = found == hardwareLengths.end() ? 0 : found->second;
    address.address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
    if (entry->ifa_netmask)
      address.mask = reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr;
    addresses.push_back(std::move(address));
  }
  freeifaddrs(list);
  return addresses;
}

}  // namespace kesto
