#pragma once

#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "platform/socket.h"
#include "sim/device_socket.h"

namespace kesto::testing {

inline Socket BoundSocket(int type, const std::string& address, uint16_t port) {
  Socket socket = Socket::Open(type).value();
  const bool bound = socket.SetOption(SOL_SOCKET, SO_REUSEADDR, 1) &&
                     socket.Bind(MakeSocketAddress(ParseIpv4(address).value(), port));
  return bound ? std::move(socket) : Socket();
}

// A device's update receiver driven by a script on its own thread, for exact
// bytes and exact splits of the stream; every step gives up after a few
// seconds, so a broken writer fails the test instead of hanging it.
class FakeUpdateDevice {
 public:
  static constexpr int kStepWaitMs = 5000;

  FakeUpdateDevice(const std::string& address, uint16_t port)
      : udp_(BoundSocket(SOCK_DGRAM, address, port)) {}
  ~FakeUpdateDevice() { Join(); }

  bool bound() const { return udp_.valid(); }
  void Start(std::function<void(FakeUpdateDevice&)> script) {
    thread_ = std::thread([this, script = std::move(script)] { script(*this); });
  }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

  std::optional<std::string> ReceiveDatagram(int waitMs = kStepWaitMs) {
    std::array<char, 2048> buffer{};
    const Result<size_t> got =
        udp_.ReceiveFrom(buffer.data(), buffer.size(), &lastSender_, waitMs, nullptr);
    return got ? std::optional(std::string(buffer.data(), *got)) : std::nullopt;
  }
  const sockaddr_in& lastSender() const { return lastSender_; }
  void Reply(std::string_view text) {
    static_cast<void>(udp_.SendTo(text.data(), text.size(), lastSender_));
  }
  void ReplyAsStranger(const std::string& from, std::string_view text) {
    static_cast<void>(
        BoundSocket(SOCK_DGRAM, from, 0).SendTo(text.data(), text.size(), lastSender_));
  }

  // Connects from address `from` to the last sender's address at `port`.
  bool Connect(uint16_t port, const std::string& from) {
    tcp_ = BoundSocket(SOCK_STREAM, from, 0);
    const sockaddr_in to = MakeSocketAddress(lastSender_.sin_addr.s_addr, port);
    return tcp_.valid() && tcp_.Connect(to, kStepWaitMs, nullptr);
  }
  // Takes size bytes, each read at most piece bytes, answering every read
  // with ack(count of the read, whether the image is complete).
  std::optional<std::string> TakeImage(size_t size, size_t piece,
                                       const std::function<std::string(size_t, bool)>& ack) {
    std::string image;
    while (image.size() < size) {
      const auto got = ReceiveSome(std::min(piece, size - image.size()));
      if (!got || got->empty()) return std::nullopt;
      image += *got;
      if (!Send(ack(got->size(), image.size() == size))) return std::nullopt;
    }
    return image;
  }
  bool Send(std::string_view bytes) {
    return bytes.empty() ||
           tcp_.SendAll(bytes.data(), bytes.size(), kStepWaitMs, nullptr).has_value();
  }
  bool AwaitClose() {  // true when the writer closed within the step time
    for (;;) {
      const auto got = ReceiveSome(64);
      if (!got || got->empty()) return got.has_value();
    }
  }
  void CloseConnection() { tcp_.Close(); }
  void ResetConnection() {  // a reset instead of an orderly end
    sim::CloseWithReset(tcp_);
  }

 private:
  std::optional<std::string> ReceiveSome(size_t size) {
    std::string buffer(size, '\0');
    const Result<size_t> got = tcp_.Receive(buffer.data(), size, kStepWaitMs, nullptr);
    if (!got) return std::nullopt;
    buffer.resize(*got);
    return buffer;
  }

  Socket udp_;
  Socket tcp_;
  sockaddr_in lastSender_{};
  std::thread thread_;
};

// The listener port and image size of an invitation "0 <port> <size> <md5>\n".
struct ParsedInvitation {
  int port = 0;
  long long size = 0;
};

inline std::optional<ParsedInvitation> ParseInvitationText(const std::string& text) {
  ParsedInvitation invitation;
  int consumed = 0;
  if (std::sscanf(text.c_str(), "0 %d %lld %*32[0-9a-f]%n", &invitation.port, &invitation.size,
                  &consumed) != 2 ||
      text.substr(static_cast<size_t>(consumed)) != "\n")
    return std::nullopt;
  return invitation;
}

}  // namespace kesto::testing
