#include "net/interfaces.h"

#include "platform/format.h"
#include "platform/socket.h"

namespace kesto {
namespace {

bool IsUsable(const SystemAddress& entry) {
  return entry.up && entry.running && !entry.loopback && entry.hardwareAddressLength != 0 &&
         entry.address != htonl(INADDR_LOOPBACK);
}

}  // namespace

InterfaceTable BuildInterfaceTable(const std::vector<SystemAddress>& addresses) {
  InterfaceTable table;
  for (const SystemAddress& entry : addresses) {
    if (table.size() >= kInterfaceTableSize) break;
    if (!IsUsable(entry)) continue;
    table.push_back({entry.interfaceName, entry.address, entry.mask});
  }
  return table;
}

std::string InterfaceEntryText(const InterfaceRecord& record) {
  return Format("%s (%s)", Ipv4Text(record.address).c_str(), record.friendlyName.c_str());
}

bool IsHostAddress(Ipv4Address address) {
  for (const SystemAddress& entry : ReadSystemAddresses())
    if (entry.address == address) return true;
  return false;
}

std::optional<Ipv4Address> InterfaceAddressNamed(const std::string& name) {
  for (const SystemAddress& entry : ReadSystemAddresses())
    if (entry.interfaceName == name) return entry.address;
  return std::nullopt;
}

}  // namespace kesto
