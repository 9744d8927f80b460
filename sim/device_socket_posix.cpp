#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/deadline.h"
#include "platform/message_posix.h"
#include "platform/stop_signal.h"
#include "sim/device_socket.h"

namespace kesto::sim {

Result<size_t> SendToFrom(Socket& socket, const void* data, size_t size, Ipv4Address source,
                          const sockaddr_in& to) {
  iovec vector{const_cast<void*>(data), size};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  sockaddr_in target = to;
  msghdr message = OneBufferMessage(target, vector, control, sizeof control);
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = IPPROTO_IP;
  header->cmsg_type = IP_PKTINFO;
  header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
  in_pktinfo info{};
  info.ipi_spec_dst.s_addr = source;
  std::memcpy(CMSG_DATA(header), &info, sizeof info);
  const ssize_t sent = sendmsg(socket.handle(), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent < 0) return Failure(SocketError(errno));
  return static_cast<size_t>(sent);
}

Result<size_t> ReceiveWithDestination(Socket& socket, void* buffer, size_t size, sockaddr_in& from,
                                      Ipv4Address& destination) {
  iovec vector{buffer, size};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  msghdr message = OneBufferMessage(from, vector, control, sizeof control);
  const ssize_t got = recvmsg(socket.handle(), &message, MSG_DONTWAIT);
  if (got < 0) return Failure(SocketError(errno));
  if (message.msg_flags & MSG_TRUNC) return Failure(SocketError(EMSGSIZE));
  destination = INADDR_BROADCAST;
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level != IPPROTO_IP || header->cmsg_type != IP_PKTINFO) continue;
    in_pktinfo info{};
    std::memcpy(&info, CMSG_DATA(header), sizeof info);
    destination = info.ipi_addr.s_addr;
  }
  return static_cast<size_t>(got);
}

void CloseWithReset(Socket& socket) {
  if (!socket.valid()) return;
  const linger abort{1, 0};
  setsockopt(socket.handle(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  socket.Close();
}

void ShutdownSend(Socket& socket) {
  if (socket.valid()) shutdown(socket.handle(), SHUT_WR);
}

}  // namespace kesto::sim
