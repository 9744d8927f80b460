#pragma once

// What a simulated device does with its sockets beyond what the writer's
// Socket offers: speaking from another address, learning where a datagram was
// sent, resetting a connection, and one wait over all of its sockets.

#include <cstddef>
#include <vector>

#include "platform/net_types.h"
#include "platform/socket.h"

namespace kesto {
class StopSignal;
}

namespace kesto::sim {

// One datagram from a socket bound to the wildcard address, sent with the
// given source address, which must be one of this host's (any 127.x.y.z is).
[[nodiscard]] Result<size_t> SendToFrom(Socket& socket, const void* data, size_t size,
                                        Ipv4Address source, const sockaddr_in& to);
// One datagram without waiting, and the address it was sent to (the socket's
// IP_PKTINFO option on): a local address for a datagram sent to this host
// alone, INADDR_BROADCAST when the system does not tell.
[[nodiscard]] Result<size_t> ReceiveWithDestination(Socket& socket, void* buffer, size_t size,
                                                    sockaddr_in& from, Ipv4Address& destination);

// Opens socket as a new one of type (SOCK_DGRAM, SOCK_STREAM): 0, or the
// system's error number.
int OpenSocket(Socket& socket, int type);

// Closes with a reset instead of an orderly close: what the peer has not read
// yet is lost.
void CloseWithReset(Socket& socket);
// Tells the peer that nothing more comes (an orderly close of our half).
void ShutdownSend(Socket& socket);
// Waits, without reading, until the peer closes or resets the connection.
Result<void> WaitForPeerClose(const Socket& socket, int timeoutMs, const StopSignal* stop);

// Waits until one of sockets is readable (or has an error or hang-up to
// report); null and invalid entries are skipped. Succeeds with readable[i]
// set for each such socket; fails with errors::kTimedOut, errors::kCanceled
// when stop fired, or the error of the wait.
[[nodiscard]] Result<void> WaitAnyReadable(const std::vector<const Socket*>& sockets,
                                           std::vector<bool>& readable, int timeoutMs,
                                           const StopSignal* stop);

}  // namespace kesto::sim
