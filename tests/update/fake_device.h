#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "platform/socket.h"

namespace kesto::testing {

// A device's update receiver driven by a script, for tests that need exact
// bytes or an exact split of the stream (replies glued together, acknowledgement
// counts of odd pieces, over-long datagrams). The script runs on its own
// thread; every step gives up after a few seconds so a broken writer fails
// the test instead of hanging it.
class FakeUpdateDevice {
 public:
  using Script = std::function<void(FakeUpdateDevice&)>;

  FakeUpdateDevice(const std::string& address, uint16_t port);
  ~FakeUpdateDevice() { Join(); }
  FakeUpdateDevice(const FakeUpdateDevice&) = delete;
  FakeUpdateDevice& operator=(const FakeUpdateDevice&) = delete;

  bool bound() const { return udp_.valid(); }
  void Start(Script script);
  void Join();

  // Script steps.
  std::optional<std::string> ReceiveDatagram(int waitMs = kStepWaitMs);
  void Reply(std::string_view text);  // to the sender of the last datagram
  // The same from a socket of a stranger at address `from` (port 0).
  void ReplyAsStranger(const std::string& from, std::string_view text);
  const sockaddr_in& lastSender() const { return lastSender_; }
  // Connects from address `from` to the last sender's address at `port`.
  bool Connect(uint16_t port, const std::string& from);
  // A connection from somebody else; returns what it received before the close.
  std::optional<std::string> ConnectAsStranger(uint16_t port, const std::string& from);
  // One receive of at most size bytes; empty when the writer closed.
  std::optional<std::string> ReceiveSome(size_t size);
  // Takes size bytes, each read at most piece bytes, answering every read
  // with what ack(count of the read, whether the image is complete) returns.
  std::optional<std::string> TakeImage(size_t size, size_t piece,
                                       const std::function<std::string(size_t, bool)>& ack);
  bool Send(std::string_view bytes);
  // One byte at a time, gapMs apart; false when the writer has gone.
  bool Drip(std::string_view bytes, int gapMs);
  // Waits until the writer closes the connection (true) or the step time ends.
  bool AwaitClose();
  void CloseConnection() { tcp_.Close(); }
  // Closes with a reset instead of an orderly end.
  void ResetConnection();

  static constexpr int kStepWaitMs = 5000;

 private:
  Socket udp_;
  Socket tcp_;
  sockaddr_in lastSender_{};
  std::thread thread_;
};

struct ParsedInvitation {
  int command = -1;
  int port = 0;
  long long size = 0;
  std::string md5;
};
std::optional<ParsedInvitation> ParseInvitationText(const std::string& text);

}  // namespace kesto::testing
