// The host's addresses from GetAdaptersAddresses(); the filtering is in
// interfaces.cpp. Usable means up (OperStatus), not loopback, with a
// hardware address; the name shown is the adapter's friendly name.

#include <winsock2.h>
#include <ws2tcpip.h>
// After the Winsock headers, which it needs.
#include <iphlpapi.h>

#include "net/interfaces.h"
#include "platform/wide_text.h"

namespace kesto {
namespace {

Ipv4Address MaskOfPrefix(unsigned length) {
  if (length == 0) return 0;
  if (length >= 32) return 0xffffffffu;
  return htonl(0xffffffffu << (32 - length));
}

}  // namespace

Result<std::vector<SystemAddress>> ReadSystemAddresses() {
  constexpr ULONG kFlags =
      GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  ULONG size = 16 * 1024;
  std::vector<unsigned char> buffer;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  // The list can grow between the size query and the call; a few tries settle it.
  for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.resize(size);
    result = GetAdaptersAddresses(AF_INET, kFlags, nullptr,
                                  reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (result != NO_ERROR) return Failure(FileError(static_cast<int>(result)));
  std::vector<SystemAddress> addresses;
  for (auto* adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter;
       adapter = adapter->Next) {
    for (const IP_ADAPTER_UNICAST_ADDRESS* unicast = adapter->FirstUnicastAddress; unicast;
         unicast = unicast->Next) {
      const sockaddr* address = unicast->Address.lpSockaddr;
      if (!address || address->sa_family != AF_INET) continue;
      SystemAddress entry;
      entry.interfaceName = Utf8FromWide(adapter->FriendlyName);
      entry.up = adapter->OperStatus == IfOperStatusUp;
      entry.running = entry.up;
      entry.loopback = adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK;
      entry.hardwareAddressLength = adapter->PhysicalAddressLength;
      entry.address = reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr;
      entry.mask = MaskOfPrefix(unicast->OnLinkPrefixLength);
      addresses.push_back(std::move(entry));
    }
  }
  return addresses;
}

}  // namespace kesto
