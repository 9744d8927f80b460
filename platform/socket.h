#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kesto {

class Deadline;
class StopSignal;

// Outcome of one socket transfer: bytes moved, or an errno value.
// Time limits report ETIMEDOUT, a triggered StopSignal ECANCELED.
struct IoResult {
  size_t bytes = 0;
  int error = 0;
  bool ok() const { return error == 0; }
};

// Strict dotted-quad parsing ("1.2.3.4" only); address in network byte order.
std::optional<in_addr_t> ParseIpv4(std::string_view text);
std::string Ipv4Text(in_addr_t address);
sockaddr_in MakeSocketAddress(in_addr_t address, uint16_t port);

// An owned IPv4 socket descriptor. Every operation returns an errno value
// (0 on success) or an IoResult; nothing throws. All waits are bounded by a
// time limit in milliseconds and end early when the optional StopSignal fires.
class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() { Close(); }
  Socket(Socket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // type: SOCK_DGRAM or SOCK_STREAM. On failure the socket is invalid and
  // error holds errno.
  static Socket Open(int type, int& error);

  bool valid() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void Close();

  int Bind(const sockaddr_in& address);
  int Listen(int backlog);
  int SetOption(int level, int name, int value);
  // Lets a listener bind a fixed port while connections of an earlier one
  // linger, never while another listener holds it.
  int AllowPortReuse();
  int SetNonBlocking(bool on);
  int LocalAddress(sockaddr_in& address) const;

  // Returns 0, ETIMEDOUT, ECANCELED or the errno of the failed poll.
  int WaitReadable(int timeoutMs, const StopSignal* stop) const;
  int WaitWritable(int timeoutMs, const StopSignal* stop) const;

  // Non-blocking connect bounded by timeoutMs.
  int Connect(const sockaddr_in& to, int timeoutMs, const StopSignal* stop);
  // One accept attempt on a readable listener; the new socket is blocking.
  Socket Accept(sockaddr_in* peer, int& error);

  IoResult SendTo(const void* data, size_t size, const sockaddr_in& to);
  // One datagram. A datagram longer than size fails with EMSGSIZE and is
  // dropped, so a cut datagram is never taken for a whole one.
  IoResult ReceiveFrom(void* buffer, size_t size, sockaddr_in* from, int timeoutMs,
                       const StopSignal* stop);
  // Asks the kernel to tell, with each datagram, how many it has dropped on
  // this socket for want of buffer room. Where it cannot tell, nothing.
  void CountDroppedDatagrams();
  // ReceiveFrom without waiting. dropped is set to the kernel's count of
  // datagrams dropped so far when it reports one, and left as it was otherwise.
  IoResult ReceiveCounted(void* buffer, size_t size, sockaddr_in* from, uint32_t& dropped);

  // Sends every byte; ends with ETIMEDOUT when no byte moves for stallMs.
  IoResult SendAll(const void* data, size_t size, int stallMs, const StopSignal* stop);
  // Sends every byte before the deadline, however slowly the peer takes them;
  // ETIMEDOUT once it has passed.
  IoResult SendAllBefore(const void* data, size_t size, const Deadline& deadline,
                         const StopSignal* stop);
  // One recv once data (or the peer's close: 0 bytes) is there.
  IoResult Receive(void* buffer, size_t size, int timeoutMs, const StopSignal* stop);

  // Wakes up any thread blocked on this socket.
  void Shutdown();

 private:
  int fd_ = -1;
};

}  // namespace kesto
