#include "net/interfaces.h"
#include "platform/socket.h"

namespace kesto {

std::optional<Ipv4Address> RouteLocalAddress(Ipv4Address destination) {
  // Connecting a datagram socket sends nothing; it only makes the system pick
  // the route, and with it the source address, that a datagram would take.
  Result<Socket> opened = Socket::Open(SOCK_DGRAM);
  if (!opened) return std::nullopt;
  Socket& socket = *opened;
  constexpr uint16_t kAnyPort = 9;  // never written to
  if (!socket.Connect(MakeSocketAddress(destination, kAnyPort), 0, nullptr)) return std::nullopt;
  const Result<sockaddr_in> bound = socket.LocalAddress();
  if (!bound || bound->sin_addr.s_addr == 0) return std::nullopt;
  return bound->sin_addr.s_addr;
}

}  // namespace kesto
