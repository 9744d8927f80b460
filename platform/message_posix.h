#pragma once

// For POSIX implementations only: sendmsg and recvmsg of one buffer.

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>

namespace kesto {

// A message of one buffer (vector) to or from peer, with controlSize bytes of
// room in control for ancillary data. It points at all three.
inline msghdr OneBufferMessage(sockaddr_in& peer, iovec& vector, char* control,
                               std::size_t controlSize) {
  msghdr message{};
  message.msg_name = &peer;
  message.msg_namelen = sizeof peer;
  message.msg_iov = &vector;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = controlSize;
  return message;
}

}  // namespace kesto
