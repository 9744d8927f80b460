#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/deadline.h"
#include "platform/socket.h"
#include "platform/stop_signal.h"

namespace kesto {
namespace {

// Polls fd for events until the deadline, retrying on EINTR.
int WaitFor(int fd, short events, int timeoutMs, const StopSignal* stop) {
  const Deadline deadline = Deadline::After(timeoutMs);
  for (;;) {
    pollfd fds[2] = {{fd, events, 0}, {stop ? stop->Descriptor() : -1, POLLIN, 0}};
    const int ready = poll(fds, stop ? 2 : 1, deadline.MillisecondsLeft());
    if (ready < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (stop && (fds[1].revents & POLLIN)) return ECANCELED;
    if (ready == 0) return ETIMEDOUT;
    if (fds[0].revents) return 0;
  }
}

}  // namespace

Socket Socket::Open(int type, int& error) {
  const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  error = fd < 0 ? errno : 0;
  return Socket(fd);
}

void Socket::Close() {
  if (handle_ >= 0) {
    close(handle_);
    handle_ = -1;
  }
}

int Socket::Bind(const sockaddr_in& address) {
  return bind(handle_, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0 ? errno : 0;
}

int Socket::Listen(int backlog) {
  return listen(handle_, backlog) < 0 ? errno : 0;
}

int Socket::SetOption(int level, int name, int value) {
  return setsockopt(handle_, level, name, &value, sizeof value) < 0 ? errno : 0;
}

int Socket::AllowPortReuse() {
  return SetOption(SOL_SOCKET, SO_REUSEADDR, 1);
}

int Socket::SetNonBlocking(bool on) {
  const int flags = fcntl(handle_, F_GETFL, 0);
  if (flags < 0) return errno;
  const int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return fcntl(handle_, F_SETFL, wanted) < 0 ? errno : 0;
}

int Socket::LocalAddress(sockaddr_in& address) const {
  socklen_t length = sizeof address;
  return getsockname(handle_, reinterpret_cast<sockaddr*>(&address), &length) < 0 ? errno : 0;
}

int Socket::WaitReadable(int timeoutMs, const StopSignal* stop) const {
  return WaitFor(handle_, POLLIN, timeoutMs, stop);
}

int Socket::WaitWritable(int timeoutMs, const StopSignal* stop) const {
  return WaitFor(handle_, POLLOUT, timeoutMs, stop);
}

int Socket::Connect(const sockaddr_in& to, int timeoutMs, const StopSignal* stop) {
  if (const int error = SetNonBlocking(true)) return error;
  if (connect(handle_, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) {
    if (errno != EINPROGRESS) return errno;
    if (const int error = WaitWritable(timeoutMs, stop)) return error;
    int pending = 0;
    socklen_t length = sizeof pending;
    if (getsockopt(handle_, SOL_SOCKET, SO_ERROR, &pending, &length) < 0) return errno;
    if (pending != 0) return pending;
  }
  return SetNonBlocking(false);
}

Socket Socket::Accept(sockaddr_in* peer, int& error) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  const int fd = accept4(handle_, reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
  error = fd < 0 ? errno : 0;
  if (fd >= 0 && peer) *peer = address;
  return Socket(fd);
}

IoResult Socket::SendTo(const void* data, size_t size, const sockaddr_in& to) {
  const ssize_t sent =
      sendto(handle_, data, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  if (sent < 0) return {0, errno};
  return {static_cast<size_t>(sent), 0};
}

IoResult Socket::TryReceiveFrom(void* buffer, size_t size, sockaddr_in* from) {
  sockaddr_in sender{};
  socklen_t length = sizeof sender;
  for (;;) {
    // MSG_TRUNC makes Linux report the datagram's real length, so a datagram
    // too long for the buffer can be refused instead of silently cut.
    const ssize_t received = recvfrom(handle_, buffer, size, MSG_TRUNC | MSG_DONTWAIT,
                                      reinterpret_cast<sockaddr*>(&sender), &length);
    if (received < 0 && errno == EINTR) continue;
    if (received < 0) return {0, errno};
    if (from) *from = sender;
    if (static_cast<size_t>(received) > size) return {size, EMSGSIZE};
    return {static_cast<size_t>(received), 0};
  }
}

namespace {

// One datagram by recvmsg, with room for ancillary data in control; message
// keeps pointing at control for the caller's CMSG walk.
ssize_t ReceiveMessage(int handle, void* buffer, size_t size, sockaddr_in& from, char* control,
                       size_t controlSize, int flags, msghdr& message) {
  iovec vector{buffer, size};
  message = {};
  message.msg_name = &from;
  message.msg_namelen = sizeof from;
  message.msg_iov = &vector;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = controlSize;
  const ssize_t received = recvmsg(handle, &message, flags);
  message.msg_iov = nullptr;  // vector ends here
  message.msg_iovlen = 0;
  return received;
}

}  // namespace

void Socket::CountDroppedDatagrams() {
#ifdef SO_RXQ_OVFL
  SetOption(SOL_SOCKET, SO_RXQ_OVFL, 1);
#endif
}

IoResult Socket::ReceiveCounted(void* buffer, size_t size, sockaddr_in* from, uint32_t& dropped) {
#ifdef SO_RXQ_OVFL
  sockaddr_in sender{};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint32_t))] = {};
  msghdr message{};
  // MSG_TRUNC: the real length, so that an over-long datagram is refused (as in ReceiveFrom).
  const ssize_t received = ReceiveMessage(handle_, buffer, size, sender, control, sizeof control,
                                          MSG_TRUNC | MSG_DONTWAIT, message);
  if (received < 0) return {0, errno == EAGAIN ? ETIMEDOUT : errno};
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header))
    if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SO_RXQ_OVFL)
      std::memcpy(&dropped, CMSG_DATA(header), sizeof dropped);
  if (from) *from = sender;
  if (static_cast<size_t>(received) > size) return {size, EMSGSIZE};
  return {static_cast<size_t>(received), 0};
#else
  (void)dropped;
  return ReceiveFrom(buffer, size, from, 0, nullptr);
#endif
}

IoResult Socket::TrySend(const void* data, size_t size) {
  for (;;) {
    const ssize_t sent = send(handle_, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) return {static_cast<size_t>(sent), 0};
    if (errno != EINTR) return {0, errno};
  }
}

IoResult Socket::TryReceive(void* buffer, size_t size) {
  for (;;) {
    const ssize_t received = recv(handle_, buffer, size, MSG_DONTWAIT);
    if (received >= 0) return {static_cast<size_t>(received), 0};
    if (errno != EINTR) return {0, errno};
  }
}

void Socket::Shutdown() {
  if (handle_ >= 0) shutdown(handle_, SHUT_RDWR);
}

}  // namespace kesto
