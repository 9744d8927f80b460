#include "net/interfaces.h"
#include "platform/socket.h"

namespace kesto {

Result<Ipv4Address> RouteLocalAddress(Ipv4Address destination) {
  // Connecting a datagram socket sends nothing; it only makes the system pick
  // the route, and with it the source address, that a datagram would take.
  Result<Socket> opened = Socket::Open(SOCK_DGRAM);
  if (!opened) return Failure(opened.error());
  Socket& socket = *opened;
  constexpr uint16_t kAnyPort = 9;  // never written to
  if (const Result<void> connected =
          socket.Connect(MakeSocketAddress(destination, kAnyPort), 0, nullptr);
      !connected)
    return Failure(connected.error());
  const Result<sockaddr_in> bound = socket.LocalAddress();
  if (!bound) return Failure(bound.error());
  // A route without a source address is one that cannot be searched from.
  if (bound->sin_addr.s_addr == 0) return Failure(SocketError(errors::kAddressNotAvailable));
  return bound->sin_addr.s_addr;
}

}  // namespace kesto
