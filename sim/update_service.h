#pragma once

// The update receiver's datagram half: takes the invitation, asks for and
// checks the authentication, and hands the TCP transfer to a worker thread
// (update_transfer.h).

#include <optional>
#include <string>
#include <string_view>

#include "sim/device_protocol.h"
#include "sim/service.h"
#include "sim/update_transfer.h"

namespace kesto::sim {

class UpdateService final : public Service {
 public:
  UpdateService(Fleet& fleet, TransferHost& host);
  // The second ports of the devices that answer from one (answerFromOtherPort).
  int Bind();

  void RunDue(Clock::time_point) override {}
  void Watch(std::vector<const Socket*>& sockets, Clock::time_point now) override;
  void OnReadable(size_t index, Clock::time_point now) override;
  Clock::time_point NextWake(Clock::time_point) const override { return Clock::time_point::max(); }

 private:
  // An "AUTH" answer waiting for the writer's authentication message.
  struct PendingAuth {
    Invitation invitation;
    sockaddr_in writer{};
    std::string nonce;
  };

  void OnInvitation(size_t device, const Invitation& invitation, const sockaddr_in& from);
  void OnAuthMessage(size_t device, std::string_view message);
  void BeginTransfer(size_t device, const Invitation& invitation, const sockaddr_in& writer,
                     std::vector<std::string> authMessages, Ipv4Address from = 0);
  // The socket a device answers from.
  Socket& Speaker(size_t device);

  Fleet& fleet_;
  TransferHost& host_;
  std::vector<Socket> sideSockets_;  // answerFromOtherPort: a second port; invalid otherwise
  std::vector<std::optional<PendingAuth>> pending_;
  uint32_t transfers_ = 0;  // numbers the transfers' random streams
};

}  // namespace kesto::sim
