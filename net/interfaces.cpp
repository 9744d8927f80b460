#include "net/interfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>

#include <map>

#include "platform/format.h"
#include "platform/socket.h"

namespace kesto {
namespace {

bool IsUsable(const SystemAddress& entry) {
  return entry.up && entry.running && !entry.loopback && entry.hardwareAddressLength != 0 &&
         entry.address != htonl(INADDR_LOOPBACK);
}

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

InterfaceTable BuildInterfaceTable(const std::vector<SystemAddress>& addresses) {
  InterfaceTable table;
  for (const SystemAddress& entry : addresses) {
    if (table.size() >= kInterfaceTableSize) break;
    if (!IsUsable(entry)) continue;
    table.push_back(
        {entry.ifIndex, entry.interfaceName, entry.interfaceName, entry.address, entry.mask});
  }
  return table;
}

std::vector<SystemAddress> ReadSystemAddresses() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return {};
  const auto hardwareLengths = HardwareAddressLengths(list);
  std::vector<SystemAddress> addresses;
  for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || !entry->ifa_name) continue;
    SystemAddress address;
    address.interfaceName = entry->ifa_name;
    address.ifIndex = if_nametoindex(entry->ifa_name);
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

std::string InterfaceEntryText(const InterfaceRecord& record) {
  return Format("%s (%s)", Ipv4Text(record.address).c_str(), record.friendlyName.c_str());
}

bool IsHostAddress(in_addr_t address) {
  for (const SystemAddress& entry : ReadSystemAddresses())
    if (entry.address == address) return true;
  return false;
}

std::optional<in_addr_t> InterfaceAddressNamed(const std::string& name) {
  for (const SystemAddress& entry : ReadSystemAddresses())
    if (entry.interfaceName == name) return entry.address;
  return std::nullopt;
}

}  // namespace kesto
