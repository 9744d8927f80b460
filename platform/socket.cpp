// The parts of Socket that read the same on every system; the system calls
// themselves are in socket_posix.cpp and socket_win.cpp.

#include "platform/socket.h"

#include "platform/deadline.h"
#include "platform/wait.h"

namespace kesto {
namespace {

// Sends every byte, each wait for room as long as nextWait() says; nullopt
// from it ends the send with errors::kTimedOut.
template <typename NextWait>
Result<size_t> SendEvery(Socket& socket, const void* data, size_t size, const StopSignal* stop,
                         NextWait nextWait) {
  const auto* bytes = static_cast<const char*>(data);
  size_t done = 0;
  while (done < size) {
    const std::optional<int> waitMs = nextWait();
    if (!waitMs) return Failure(SocketError(errors::kTimedOut));
    if (const Result<void> room = socket.WaitWritable(*waitMs, stop); !room)
      return Failure(room.error());
    const Result<size_t> sent = socket.TrySend(bytes + done, size - done);
    if (ErrorNumber(sent) == errors::kWouldBlock) continue;
    if (!sent) return sent;
    done += *sent;
  }
  return done;
}

}  // namespace

std::optional<Ipv4Address> ParseIpv4(std::string_view text) {
  if (text.empty() || text.size() > 15) return std::nullopt;
  // inet_pton takes "1.2.3.4" and nothing else; checked here as well, since
  // not every system's inet_pton is as strict.
  int parts = 0;
  int digits = 0;
  bool leadingZero = false;
  for (const char c : text) {
    if (c == '.') {
      if (digits == 0) return std::nullopt;
      ++parts;
      digits = 0;
    } else if (c < '0' || c > '9' || ++digits > 3 || leadingZero) {
      return std::nullopt;
    }
    leadingZero = digits == 1 && c == '0';
  }
  if (parts != 3 || digits == 0) return std::nullopt;
  const std::string copy(text);
  in_addr address{};
  if (inet_pton(AF_INET, copy.c_str(), &address) != 1) return std::nullopt;
  return static_cast<Ipv4Address>(address.s_addr);
}

std::string Ipv4Text(Ipv4Address address) {
  char text[INET_ADDRSTRLEN] = {};
  in_addr value{};
  value.s_addr = address;
  if (!inet_ntop(AF_INET, &value, text, sizeof text)) return {};
  return text;
}

sockaddr_in MakeSocketAddress(Ipv4Address address, uint16_t port) {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  result.sin_port = htons(port);
  result.sin_addr.s_addr = address;
  return result;
}

// bind, listen and setsockopt take the same arguments on every system; only
// how a failure is told differs (Checked).
Result<void> Socket::Bind(const sockaddr_in& address) {
  return Checked(bind(handle_, reinterpret_cast<const sockaddr*>(&address), sizeof address));
}

Result<void> Socket::Listen(int backlog) {
  return Checked(listen(handle_, backlog));
}

Result<void> Socket::SetOption(int level, int name, int value) {
  return Checked(
      setsockopt(handle_, level, name, reinterpret_cast<const char*>(&value), sizeof value));
}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = kNoSocket;
  }
  return *this;
}

Result<size_t> Socket::ReceiveFrom(void* buffer, size_t size, sockaddr_in* from, int timeoutMs,
                                   const StopSignal* stop) {
  if (const Result<void> ready = WaitReadable(timeoutMs, stop); !ready)
    return Failure(ready.error());
  const Result<size_t> received = TryReceiveFrom(buffer, size, from);
  if (ErrorNumber(received) == errors::kWouldBlock) return Failure(SocketError(errors::kTimedOut));
  return received;
}

Result<size_t> Socket::SendAll(const void* data, size_t size, int stallMs, const StopSignal* stop) {
  return SendEvery(*this, data, size, stop, [stallMs]() -> std::optional<int> { return stallMs; });
}

Result<size_t> Socket::SendAllBefore(const void* data, size_t size, const Deadline& deadline,
                                     const StopSignal* stop) {
  return SendEvery(*this, data, size, stop, [&deadline]() -> std::optional<int> {
    if (deadline.Passed()) return std::nullopt;
    return deadline.MillisecondsLeft();
  });
}

Result<size_t> Socket::Receive(void* buffer, size_t size, int timeoutMs, const StopSignal* stop) {
  for (;;) {
    if (const Result<void> ready = WaitReadable(timeoutMs, stop); !ready)
      return Failure(ready.error());
    const Result<size_t> received = TryReceive(buffer, size);
    // A readable socket can still have nothing (spurious wake-up): wait again.
    if (ErrorNumber(received) != errors::kWouldBlock) return received;
  }
}

Result<void> Socket::WaitReadable(int timeoutMs, const StopSignal* stop) const {
  WaitItem item{handle_, Readiness::kReadable};
  return WaitForAny({&item, 1}, timeoutMs, stop);
}

Result<void> Socket::WaitWritable(int timeoutMs, const StopSignal* stop) const {
  WaitItem item{handle_, Readiness::kWritable};
  return WaitForAny({&item, 1}, timeoutMs, stop);
}

}  // namespace kesto
