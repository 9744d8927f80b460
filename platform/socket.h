#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"
#include "platform/net_types.h"

namespace kesto {

class Deadline;
class StopSignal;

// Strict dotted-quad parsing ("1.2.3.4" only); address in network byte order.
std::optional<Ipv4Address> ParseIpv4(std::string_view text);
std::string Ipv4Text(Ipv4Address address);
sockaddr_in MakeSocketAddress(Ipv4Address address, uint16_t port);

// An owned IPv4 socket. Every operation returns its Result (the socket
// category's numbers, platform/errors.h); nothing throws. All waits are
// bounded by a time limit in milliseconds and end early when the optional
// StopSignal fires. A transfer's value is the count of bytes moved; time
// limits fail with errors::kTimedOut, a triggered StopSignal with
// errors::kCanceled.
class Socket {
 public:
  Socket() = default;
  ~Socket() { Close(); }
  Socket(Socket&& other) noexcept : handle_(other.handle_) { other.handle_ = kNoSocket; }
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // type: SOCK_DGRAM or SOCK_STREAM. Non-blocking on every system (the
  // waits here bound each operation) and not inherited by child processes.
  [[nodiscard]] static Result<Socket> Open(int type);

  bool valid() const { return handle_ != kNoSocket; }
  NativeSocket handle() const { return handle_; }
  void Close();

  [[nodiscard]] Result<void> Bind(const sockaddr_in& address);
  [[nodiscard]] Result<void> Listen(int backlog);
  [[nodiscard]] Result<void> SetOption(int level, int name, int value);
  // Lets a listener bind a fixed port while connections of an earlier one
  // linger, never while another listener holds it.
  [[nodiscard]] Result<void> AllowPortReuse();
  [[nodiscard]] Result<sockaddr_in> LocalAddress() const;

  // Fail with errors::kTimedOut, errors::kCanceled or the error of the wait.
  [[nodiscard]] Result<void> WaitReadable(int timeoutMs, const StopSignal* stop) const;
  [[nodiscard]] Result<void> WaitWritable(int timeoutMs, const StopSignal* stop) const;

  // Connect bounded by timeoutMs: errors::kTimedOut, errors::kCanceled or
  // the connection's own error on failure.
  [[nodiscard]] Result<void> Connect(const sockaddr_in& to, int timeoutMs, const StopSignal* stop);
  // One accept attempt on a readable listener; the connection is
  // non-blocking like every socket here.
  [[nodiscard]] Result<Socket> Accept(sockaddr_in* peer = nullptr);

  [[nodiscard]] Result<size_t> SendTo(const void* data, size_t size, const sockaddr_in& to);
  // One datagram. A datagram longer than size fails with
  // errors::kMessageTooLong and is dropped, so a cut datagram is never taken
  // for a whole one.
  [[nodiscard]] Result<size_t> ReceiveFrom(void* buffer, size_t size, sockaddr_in* from,
                                           int timeoutMs, const StopSignal* stop);
  // Asks the kernel to tell, with each datagram, how many it has dropped on
  // this socket for want of buffer room. Where it cannot tell, nothing.
  void CountDroppedDatagrams();
  // ReceiveFrom without waiting. dropped is set to the kernel's count of
  // datagrams dropped so far when it reports one, and left as it was otherwise.
  [[nodiscard]] Result<size_t> ReceiveCounted(void* buffer, size_t size, sockaddr_in* from,
                                              uint32_t& dropped);

  // Sends every byte; ends with errors::kTimedOut when no byte moves for stallMs.
  [[nodiscard]] Result<size_t> SendAll(const void* data, size_t size, int stallMs,
                                       const StopSignal* stop);
  // Sends every byte before the deadline, however slowly the peer takes them;
  // errors::kTimedOut once it has passed.
  [[nodiscard]] Result<size_t> SendAllBefore(const void* data, size_t size,
                                             const Deadline& deadline, const StopSignal* stop);
  // One recv once data (or the peer's close: 0 bytes) is there.
  [[nodiscard]] Result<size_t> Receive(void* buffer, size_t size, int timeoutMs,
                                       const StopSignal* stop);

  // One send or recv without any wait: errors::kWouldBlock when there is no
  // room or nothing to read yet. A receive of 0 bytes is the peer's close.
  [[nodiscard]] Result<size_t> TrySend(const void* data, size_t size);
  [[nodiscard]] Result<size_t> TryReceive(void* buffer, size_t size);

  // Wakes up any thread blocked on this socket.
  void Shutdown();

 private:
  explicit Socket(NativeSocket handle) : handle_(handle) {}
  // The socket error behind result, the return of a system call, if it failed.
  [[nodiscard]] static Result<void> Checked(int result);
  [[nodiscard]] Result<size_t> TryReceiveFrom(void* buffer, size_t size, sockaddr_in* from);

  NativeSocket handle_ = kNoSocket;
};

}  // namespace kesto
