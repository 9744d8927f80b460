// Winsock 2; Winsock is already started, since every socket here came from
// Socket::Open.

#include <winsock2.h>
#include <ws2tcpip.h>

#include <mswsock.h>

#include <climits>
#include <cstring>

#include "platform/deadline.h"
#include "platform/errors.h"
#include "platform/stop_signal.h"
#include "sim/device_socket.h"

namespace kesto::sim {
namespace {

ULONG ClampedLength(size_t size) {
  return size > INT_MAX ? INT_MAX : static_cast<ULONG>(size);
}

// A message of one buffer to or from peer, with the room in control for the
// packet information.
template <size_t kControlSize>
WSAMSG MessageOf(sockaddr_in& peer, WSABUF& buffer, char (&control)[kControlSize]) {
  WSAMSG message{};
  message.name = reinterpret_cast<sockaddr*>(&peer);
  message.namelen = sizeof peer;
  message.lpBuffers = &buffer;
  message.dwBufferCount = 1;
  message.Control.len = kControlSize;
  message.Control.buf = control;
  return message;
}

}  // namespace

Result<size_t> SendToFrom(Socket& socket, const void* data, size_t size, Ipv4Address source,
                          const sockaddr_in& to) {
  WSABUF buffer{};
  buffer.len = ClampedLength(size);
  buffer.buf = static_cast<char*>(const_cast<void*>(data));
  alignas(WSACMSGHDR) char control[WSA_CMSG_SPACE(sizeof(IN_PKTINFO))] = {};
  sockaddr_in target = to;
  WSAMSG message = MessageOf(target, buffer, control);
  WSACMSGHDR* header = WSA_CMSG_FIRSTHDR(&message);
  header->cmsg_level = IPPROTO_IP;
  header->cmsg_type = IP_PKTINFO;
  header->cmsg_len = WSA_CMSG_LEN(sizeof(IN_PKTINFO));
  IN_PKTINFO info{};
  info.ipi_addr.s_addr = source;
  std::memcpy(WSA_CMSG_DATA(header), &info, sizeof info);
  DWORD sent = 0;
  if (WSASendMsg(socket.handle(), &message, 0, &sent, nullptr, nullptr) == SOCKET_ERROR)
    return Failure(SocketError(WSAGetLastError()));
  return static_cast<size_t>(sent);
}

Result<size_t> ReceiveWithDestination(Socket& socket, void* buffer, size_t size, sockaddr_in& from,
                                      Ipv4Address& destination) {
  // WSARecvMsg is reached only through its extension pointer.
  static const LPFN_WSARECVMSG receive = [] {
    LPFN_WSARECVMSG function = nullptr;
    const SOCKET probe = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (probe == INVALID_SOCKET) return function;
    GUID id = WSAID_WSARECVMSG;
    DWORD bytes = 0;
    WSAIoctl(probe, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &function, sizeof function,
             &bytes, nullptr, nullptr);
    closesocket(probe);
    return function;
  }();
  if (!receive) return socket.ReceiveFrom(buffer, size, &from, 0, nullptr);
  WSABUF data{};
  data.len = ClampedLength(size);
  data.buf = static_cast<char*>(buffer);
  alignas(WSACMSGHDR) char control[WSA_CMSG_SPACE(sizeof(IN_PKTINFO))] = {};
  WSAMSG message = MessageOf(from, data, control);
  DWORD got = 0;
  if (receive(socket.handle(), &message, &got, nullptr, nullptr) == SOCKET_ERROR)
    return Failure(SocketError(WSAGetLastError()));
  if (message.dwFlags & MSG_TRUNC) return Failure(SocketError(errors::kMessageTooLong));
  destination = INADDR_BROADCAST;
  for (WSACMSGHDR* header = WSA_CMSG_FIRSTHDR(&message); header;
       header = WSA_CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level != IPPROTO_IP || header->cmsg_type != IP_PKTINFO) continue;
    IN_PKTINFO info{};
    std::memcpy(&info, WSA_CMSG_DATA(header), sizeof info);
    destination = info.ipi_addr.s_addr;
  }
  return static_cast<size_t>(got);
}

void CloseWithReset(Socket& socket) {
  if (!socket.valid()) return;
  linger abort{};
  abort.l_onoff = 1;
  abort.l_linger = 0;
  setsockopt(socket.handle(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort),
             sizeof abort);
  socket.Close();
}

void ShutdownSend(Socket& socket) {
  if (socket.valid()) shutdown(socket.handle(), SD_SEND);
}

}  // namespace kesto::sim
