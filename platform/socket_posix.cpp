#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/message_posix.h"
#include "platform/socket.h"
#include "platform/stop_signal.h"
#include "platform/wait.h"

namespace kesto {
namespace {

short EventsOf(Readiness want) {
  switch (want) {
    case Readiness::kWritable:
      return POLLOUT;
    case Readiness::kPeerClosed:
      return POLLRDHUP;
    case Readiness::kReadable:
      break;
  }
  return POLLIN;
}

}  // namespace

Result<bool> PollOnce(std::span<WaitItem> items, NativeSocket stop, int ms) {
  std::vector<pollfd> fds;
  fds.reserve(items.size() + 1);
  // poll skips negative descriptors, so every item keeps its place.
  for (const WaitItem& item : items) fds.push_back({item.handle, EventsOf(item.want), 0});
  fds.push_back({stop, POLLIN, 0});
  if (poll(fds.data(), fds.size(), ms) < 0) return Failure(SocketError(errno));
  for (size_t i = 0; i < items.size(); ++i) items[i].ready = fds[i].revents != 0;
  return fds.back().revents != 0;
}

Result<Socket> Socket::Open(int type) {
  const int fd = socket(AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return Failure(SocketError(errno));
  return Socket(fd);
}

void Socket::Close() {
  if (handle_ >= 0) {
    close(handle_);
    handle_ = -1;
  }
}

Result<void> Socket::Checked(int result) {
  if (result < 0) return Failure(SocketError(errno));
  return {};
}

Result<void> Socket::AllowPortReuse() {
  return SetOption(SOL_SOCKET, SO_REUSEADDR, 1);
}

Result<sockaddr_in> Socket::LocalAddress() const {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (getsockname(handle_, reinterpret_cast<sockaddr*>(&address), &length) < 0)
    return Failure(SocketError(errno));
  return address;
}

Result<void> Socket::Connect(const sockaddr_in& to, int timeoutMs, const StopSignal* stop) {
  if (connect(handle_, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) {
    // Interrupted, the connect goes on in the background like one in progress.
    if (errno != EINPROGRESS && errno != EINTR) return Failure(SocketError(errno));
    if (Result<void> ready = WaitWritable(timeoutMs, stop); !ready) return ready;
    int pending = 0;
    socklen_t length = sizeof pending;
    if (getsockopt(handle_, SOL_SOCKET, SO_ERROR, &pending, &length) < 0)
      return Failure(SocketError(errno));
    if (pending != 0) return Failure(SocketError(pending));
  }
  return {};
}

Result<Socket> Socket::Accept(sockaddr_in* peer) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  int fd = -1;
  do {
    fd = accept4(handle_, reinterpret_cast<sockaddr*>(&address), &length,
                 SOCK_CLOEXEC | SOCK_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Failure(SocketError(errno));
  if (peer) *peer = address;
  return Socket(fd);
}

Result<size_t> Socket::SendTo(const void* data, size_t size, const sockaddr_in& to) {
  const ssize_t sent =
      sendto(handle_, data, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  if (sent < 0) return Failure(SocketError(errno));
  return static_cast<size_t>(sent);
}

Result<size_t> Socket::TryReceiveFrom(void* buffer, size_t size, sockaddr_in* from) {
  sockaddr_in sender{};
  socklen_t length = sizeof sender;
  for (;;) {
    // MSG_TRUNC makes Linux report the datagram's real length, so a datagram
    // too long for the buffer can be refused instead of silently cut.
    const ssize_t received = recvfrom(handle_, buffer, size, MSG_TRUNC | MSG_DONTWAIT,
                                      reinterpret_cast<sockaddr*>(&sender), &length);
    if (received < 0 && errno == EINTR) continue;
    if (received < 0) return Failure(SocketError(errno));
    if (from) *from = sender;
    if (static_cast<size_t>(received) > size) return Failure(SocketError(EMSGSIZE));
    return static_cast<size_t>(received);
  }
}

namespace {

// One datagram by recvmsg, with room for ancillary data in control; message
// keeps pointing at control for the caller's CMSG walk.
ssize_t ReceiveMessage(int handle, void* buffer, size_t size, sockaddr_in& from, char* control,
                       size_t controlSize, int flags, msghdr& message) {
  iovec vector{buffer, size};
  message = OneBufferMessage(from, vector, control, controlSize);
  const ssize_t received = recvmsg(handle, &message, flags);
  message.msg_iov = nullptr;  // vector ends here
  message.msg_iovlen = 0;
  return received;
}

}  // namespace

void Socket::CountDroppedDatagrams() {
#ifdef SO_RXQ_OVFL
  static_cast<void>(SetOption(SOL_SOCKET, SO_RXQ_OVFL, 1));
#endif
}

Result<size_t> Socket::ReceiveCounted(void* buffer, size_t size, sockaddr_in* from,
                                      uint32_t& dropped) {
#ifdef SO_RXQ_OVFL
  sockaddr_in sender{};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint32_t))] = {};
  msghdr message{};
  // MSG_TRUNC: the real length, so that an over-long datagram is refused (as in ReceiveFrom).
  const ssize_t received = ReceiveMessage(handle_, buffer, size, sender, control, sizeof control,
                                          MSG_TRUNC | MSG_DONTWAIT, message);
  if (received < 0) return Failure(SocketError(errno == EAGAIN ? ETIMEDOUT : errno));
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header))
    if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SO_RXQ_OVFL)
      std::memcpy(&dropped, CMSG_DATA(header), sizeof dropped);
  if (from) *from = sender;
  if (static_cast<size_t>(received) > size) return Failure(SocketError(EMSGSIZE));
  return static_cast<size_t>(received);
#else
  (void)dropped;
  return ReceiveFrom(buffer, size, from, 0, nullptr);
#endif
}

Result<size_t> Socket::TrySend(const void* data, size_t size) {
  for (;;) {
    const ssize_t sent = send(handle_, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) return static_cast<size_t>(sent);
    if (errno != EINTR) return Failure(SocketError(errno));
  }
}

Result<size_t> Socket::TryReceive(void* buffer, size_t size) {
  for (;;) {
    const ssize_t received = recv(handle_, buffer, size, MSG_DONTWAIT);
    if (received >= 0) return static_cast<size_t>(received);
    if (errno != EINTR) return Failure(SocketError(errno));
  }
}

void Socket::Shutdown() {
  if (handle_ >= 0) shutdown(handle_, SHUT_RDWR);
}

}  // namespace kesto
