#include "fake_device.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>

namespace kesto::testing {
namespace {

Socket BoundSocket(int type, const std::string& address, uint16_t port) {
  int error = 0;
  Socket socket = Socket::Open(type, error);
  const auto parsed = ParseIpv4(address);
  if (!socket.valid() || !parsed) return {};
  socket.SetOption(SOL_SOCKET, SO_REUSEADDR, 1);
  if (socket.Bind(MakeSocketAddress(*parsed, port)) != 0) return {};
  return socket;
}

}  // namespace

FakeUpdateDevice::FakeUpdateDevice(const std::string& address, uint16_t port)
    : udp_(BoundSocket(SOCK_DGRAM, address, port)) {}

void FakeUpdateDevice::Start(Script script) {
  thread_ = std::thread([this, script = std::move(script)] { script(*this); });
}

void FakeUpdateDevice::Join() {
  if (thread_.joinable()) thread_.join();
}

std::optional<std::string> FakeUpdateDevice::ReceiveDatagram(int waitMs) {
  std::array<char, 2048> buffer{};
  sockaddr_in from{};
  const IoResult got = udp_.ReceiveFrom(buffer.data(), buffer.size(), &from, waitMs, nullptr);
  if (!got.ok()) return std::nullopt;
  lastSender_ = from;
  return std::string(buffer.data(), got.bytes);
}

void FakeUpdateDevice::Reply(std::string_view text) {
  udp_.SendTo(text.data(), text.size(), lastSender_);
}

void FakeUpdateDevice::ReplyAsStranger(const std::string& from, std::string_view text) {
  Socket stranger = BoundSocket(SOCK_DGRAM, from, 0);
  if (stranger.valid()) stranger.SendTo(text.data(), text.size(), lastSender_);
}

bool FakeUpdateDevice::Connect(uint16_t port, const std::string& from) {
  tcp_ = BoundSocket(SOCK_STREAM, from, 0);
  if (!tcp_.valid()) return false;
  const sockaddr_in to = MakeSocketAddress(lastSender_.sin_addr.s_addr, port);
  return tcp_.Connect(to, kStepWaitMs, nullptr) == 0;
}

std::optional<std::string> FakeUpdateDevice::ConnectAsStranger(uint16_t port,
                                                               const std::string& from) {
  Socket stranger = BoundSocket(SOCK_STREAM, from, 0);
  if (!stranger.valid()) return std::nullopt;
  const sockaddr_in to = MakeSocketAddress(lastSender_.sin_addr.s_addr, port);
  if (stranger.Connect(to, kStepWaitMs, nullptr) != 0) return std::nullopt;
  std::string received;
  std::array<char, 4096> buffer{};
  for (;;) {
    const IoResult got = stranger.Receive(buffer.data(), buffer.size(), kStepWaitMs, nullptr);
    if (!got.ok()) return std::nullopt;
    if (got.bytes == 0) return received;
    received.append(buffer.data(), got.bytes);
  }
}

std::optional<std::string> FakeUpdateDevice::ReceiveSome(size_t size) {
  std::string buffer(size, '\0');
  const IoResult got = tcp_.Receive(buffer.data(), size, kStepWaitMs, nullptr);
  if (!got.ok()) return std::nullopt;
  buffer.resize(got.bytes);
  return buffer;
}

std::optional<std::string> FakeUpdateDevice::TakeImage(
    size_t size, size_t piece, const std::function<std::string(size_t, bool)>& ack) {
  std::string image;
  while (image.size() < size) {
    const auto got = ReceiveSome(std::min(piece, size - image.size()));
    if (!got || got->empty()) return std::nullopt;
    image += *got;
    if (!Send(ack(got->size(), image.size() == size))) return std::nullopt;
  }
  return image;
}

bool FakeUpdateDevice::Send(std::string_view bytes) {
  if (bytes.empty()) return true;
  return tcp_.SendAll(bytes.data(), bytes.size(), kStepWaitMs, nullptr).ok();
}

bool FakeUpdateDevice::Drip(std::string_view bytes, int gapMs) {
  for (const char byte : bytes) {
    if (!Send(std::string_view(&byte, 1))) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
  }
  return true;
}

void FakeUpdateDevice::ResetConnection() {
  tcp_.CloseWithReset();
}

bool FakeUpdateDevice::AwaitClose() {
  for (;;) {
    const auto got = ReceiveSome(64);
    if (!got) return false;
    if (got->empty()) return true;
  }
}

std::optional<ParsedInvitation> ParseInvitationText(const std::string& text) {
  ParsedInvitation invitation;
  char md5[33] = {};
  int consumed = 0;
  if (std::sscanf(text.c_str(), "%d %d %lld %32[0-9a-f]%n", &invitation.command, &invitation.port,
                  &invitation.size, md5, &consumed) != 4)
    return std::nullopt;
  if (text.substr(static_cast<size_t>(consumed)) != "\n") return std::nullopt;
  invitation.md5 = md5;
  return invitation;
}

}  // namespace kesto::testing
