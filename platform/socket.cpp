#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/deadline.h"
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

// Sends every byte, each wait for room as long as nextWait() says; nullopt
// from it ends the send with ETIMEDOUT.
template <typename NextWait>
IoResult SendEvery(const Socket& socket, const void* data, size_t size, const StopSignal* stop,
                   NextWait nextWait) {
  const auto* bytes = static_cast<const char*>(data);
  size_t done = 0;
  while (done < size) {
    const std::optional<int> waitMs = nextWait();
    if (!waitMs) return {done, ETIMEDOUT};
    if (const int error = socket.WaitWritable(*waitMs, stop)) return {done, error};
    const ssize_t sent = send(socket.fd(), bytes + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return {done, errno};
    }
    done += static_cast<size_t>(sent);
  }
  return {done, 0};
}

}  // namespace

std::optional<in_addr_t> ParseIpv4(std::string_view text) {
  if (text.empty() || text.size() > 15) return std::nullopt;
  const std::string copy(text);
  in_addr address{};
  if (inet_pton(AF_INET, copy.c_str(), &address) != 1) return std::nullopt;
  return address.s_addr;
}

std::string Ipv4Text(in_addr_t address) {
  char text[INET_ADDRSTRLEN] = {};
  in_addr value{};
  value.s_addr = address;
  inet_ntop(AF_INET, &value, text, sizeof text);
  return text;
}

sockaddr_in MakeSocketAddress(in_addr_t address, uint16_t port) {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  result.sin_port = htons(port);
  result.sin_addr.s_addr = address;
  return result;
}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

Socket Socket::Open(int type, int& error) {
  const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  error = fd < 0 ? errno : 0;
  return Socket(fd);
}

void Socket::Close() {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
}

int Socket::Bind(const sockaddr_in& address) {
  return bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0 ? errno : 0;
}

int Socket::Listen(int backlog) {
  return listen(fd_, backlog) < 0 ? errno : 0;
}

int Socket::SetOption(int level, int name, int value) {
  return setsockopt(fd_, level, name, &value, sizeof value) < 0 ? errno : 0;
}

int Socket::AllowPortReuse() {
  return SetOption(SOL_SOCKET, SO_REUSEADDR, 1);
}

int Socket::SetNonBlocking(bool on) {
  const int flags = fcntl(fd_, F_GETFL, 0);
  if (flags < 0) return errno;
  const int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return fcntl(fd_, F_SETFL, wanted) < 0 ? errno : 0;
}

int Socket::LocalAddress(sockaddr_in& address) const {
  socklen_t length = sizeof address;
  return getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) < 0 ? errno : 0;
}

int Socket::WaitReadable(int timeoutMs, const StopSignal* stop) const {
  return WaitFor(fd_, POLLIN, timeoutMs, stop);
}

int Socket::WaitWritable(int timeoutMs, const StopSignal* stop) const {
  return WaitFor(fd_, POLLOUT, timeoutMs, stop);
}

int Socket::Connect(const sockaddr_in& to, int timeoutMs, const StopSignal* stop) {
  if (const int error = SetNonBlocking(true)) return error;
  if (connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) {
    if (errno != EINPROGRESS) return errno;
    if (const int error = WaitWritable(timeoutMs, stop)) return error;
    int pending = 0;
    socklen_t length = sizeof pending;
    if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &pending, &length) < 0) return errno;
    if (pending != 0) return pending;
  }
  return SetNonBlocking(false);
}

Socket Socket::Accept(sockaddr_in* peer, int& error) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  const int fd = accept4(fd_, reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
  error = fd < 0 ? errno : 0;
  if (fd >= 0 && peer) *peer = address;
  return Socket(fd);
}

IoResult Socket::SendTo(const void* data, size_t size, const sockaddr_in& to) {
  const ssize_t sent =
      sendto(fd_, data, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  if (sent < 0) return {0, errno};
  return {static_cast<size_t>(sent), 0};
}

IoResult Socket::ReceiveFrom(void* buffer, size_t size, sockaddr_in* from, int timeoutMs,
                             const StopSignal* stop) {
  if (const int error = WaitReadable(timeoutMs, stop)) return {0, error};
  sockaddr_in sender{};
  socklen_t length = sizeof sender;
  // MSG_TRUNC makes Linux report the datagram's real length, so a datagram
  // too long for the buffer can be refused instead of silently cut.
  const ssize_t received = recvfrom(fd_, buffer, size, MSG_TRUNC | MSG_DONTWAIT,
                                    reinterpret_cast<sockaddr*>(&sender), &length);
  if (received < 0) return {0, errno == EAGAIN ? ETIMEDOUT : errno};
  if (from) *from = sender;
  if (static_cast<size_t>(received) > size) return {size, EMSGSIZE};
  return {static_cast<size_t>(received), 0};
}

void Socket::CountDroppedDatagrams() {
#ifdef SO_RXQ_OVFL
  SetOption(SOL_SOCKET, SO_RXQ_OVFL, 1);
#endif
}

IoResult Socket::ReceiveCounted(void* buffer, size_t size, sockaddr_in* from, uint32_t& dropped) {
#ifdef SO_RXQ_OVFL
  sockaddr_in sender{};
  iovec vector{buffer, size};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint32_t))] = {};
  msghdr message{};
  message.msg_name = &sender;
  message.msg_namelen = sizeof sender;
  message.msg_iov = &vector;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  // MSG_TRUNC: the real length, so that an over-long datagram is refused (as in ReceiveFrom).
  const ssize_t received = recvmsg(fd_, &message, MSG_TRUNC | MSG_DONTWAIT);
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

IoResult Socket::SendAll(const void* data, size_t size, int stallMs, const StopSignal* stop) {
  return SendEvery(*this, data, size, stop, [stallMs]() -> std::optional<int> { return stallMs; });
}

IoResult Socket::SendAllBefore(const void* data, size_t size, const Deadline& deadline,
                               const StopSignal* stop) {
  return SendEvery(*this, data, size, stop, [&deadline]() -> std::optional<int> {
    if (deadline.Passed()) return std::nullopt;
    return deadline.MillisecondsLeft();
  });
}

IoResult Socket::Receive(void* buffer, size_t size, int timeoutMs, const StopSignal* stop) {
  for (;;) {
    if (const int error = WaitReadable(timeoutMs, stop)) return {0, error};
    const ssize_t received = recv(fd_, buffer, size, MSG_DONTWAIT);
    if (received >= 0) return {static_cast<size_t>(received), 0};
    // A readable socket can still report EAGAIN (spurious wake-up): wait again.
    if (errno != EAGAIN && errno != EINTR) return {0, errno};
  }
}

void Socket::Shutdown() {
  if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
}

}  // namespace kesto
