#include "net/interfaces.h"

#include <algorithm>

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

Result<bool> IsHostAddress(Ipv4Address address) {
  const Result<std::vector<SystemAddress>> system = ReadSystemAddresses();
  if (!system) return Failure(system.error());
  return std::any_of(system->begin(), system->end(),
                     [address](const SystemAddress& entry) { return entry.address == address; });
}

Result<std::optional<Ipv4Address>> InterfaceAddressNamed(const std::string& name) {
  const Result<std::vector<SystemAddress>> system = ReadSystemAddresses();
  if (!system) return Failure(system.error());
  for (const SystemAddress& entry : *system)
    if (entry.interfaceName == name) return entry.address;
  return std::nullopt;
}

}  // namespace kesto
