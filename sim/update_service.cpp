#include "sim/update_service.h"

#include <memory>

#include "sim/device_socket.h"
#include "sim/hostile.h"
#include "sim/observations.h"

namespace kesto::sim {
namespace {

// Largest image the receiver takes.
constexpr uint32_t kMaxImageSize = 64u * 1024 * 1024;

bool SameEndpoint(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

}  // namespace

UpdateService::UpdateService(Fleet& fleet, TransferHost& host)
    : fleet_(fleet),
      host_(host),
      sideSockets_(fleet.devices.size()),
      pending_(fleet.devices.size()) {}

int UpdateService::Bind() {
  for (size_t i = 0; i < fleet_.devices.size(); ++i) {
    if (!fleet_.devices[i].faults.answerFromOtherPort) continue;
    int error = 0;
    if ((error = OpenSocket(sideSockets_[i], SOCK_DGRAM)) ||
        (error = ErrorNumber(sideSockets_[i].Bind(MakeSocketAddress(fleet_.addresses[i], 0)))))
      return error;
  }
  return 0;
}

void UpdateService::Watch(std::vector<const Socket*>& sockets, Clock::time_point) {
  for (size_t i = 0; i < fleet_.devices.size(); ++i) {
    sockets.push_back(&fleet_.deviceSockets[i]);
    sockets.push_back(&sideSockets_[i]);
  }
}

Socket& UpdateService::Speaker(size_t device) {
  return sideSockets_[device].valid() ? sideSockets_[device] : fleet_.deviceSockets[device];
}

void UpdateService::OnReadable(size_t index, Clock::time_point) {
  const size_t device = index / 2;
  Socket& socket = index % 2 ? sideSockets_[device] : fleet_.deviceSockets[device];
  char buffer[512];
  sockaddr_in from{};
  const Result<size_t> r = socket.ReceiveFrom(buffer, sizeof buffer, &from, 0, nullptr);
  if (!r || !fleet_.Allowed(from.sin_addr.s_addr)) return;
  const std::string_view text(buffer, *r);
  if (const auto invitation = ParseInvitation(text)) {
    OnInvitation(device, *invitation, from);
  } else if (pending_[device] && SameEndpoint(from, pending_[device]->writer)) {
    OnAuthMessage(device, text);
  }
}

void UpdateService::OnInvitation(size_t device, const Invitation& invitation,
                                 const sockaddr_in& from) {
  const int count = fleet_.observations.Invitation(device, invitation.port);
  // A new invitation starts over, as when the writer missed the first answer.
  pending_[device].reset();
  const DeviceConfig& config = fleet_.devices[device];
  const DeviceFaults& faults = config.faults;
  if (faults.updateNoAnswer) return;
  if (faults.answerOnlyInvitation > 0 && count != faults.answerOnlyInvitation) return;
  if (faults.answerFromStranger) {
    // The device keeps quiet; its neighbour says "OK" and comes for the image.
    if (!IsLoopback(from.sin_addr.s_addr)) return;
    const Ipv4Address stranger = StrangerOf(fleet_.addresses[device]);
    static_cast<void>(SendToFrom(fleet_.stranger, "OK", 2, stranger, from));
    return BeginTransfer(device, invitation, from, {}, stranger);
  }
  const auto send = [&](std::string_view answer) {
    static_cast<void>(Speaker(device).SendTo(answer.data(), answer.size(), from));
  };
  if (faults.junkAnswer || count <= faults.busyInvitations) return send("ERR");
  if (faults.randomAnswer) {
    const std::string answer = RandomAnswer(fleet_.randoms[device]);
    send(answer);
    if (answer.starts_with("OK")) return BeginTransfer(device, invitation, from, {});
    if (answer.starts_with("AUTH"))
      pending_[device] = PendingAuth{invitation, from, answer.size() > 5 ? answer.substr(5) : ""};
    return;
  }
  if (invitation.size > kMaxImageSize) return send("ERR: Not Enough Space");
  if (!config.password.empty()) {
    pending_[device] = PendingAuth{invitation, from, NewNonce(NonceDigits(config.auth))};
    return send("AUTH " + pending_[device]->nonce);
  }
  send("OK");
  BeginTransfer(device, invitation, from, {});
}

void UpdateService::OnAuthMessage(size_t device, std::string_view message) {
  const PendingAuth pending = std::move(*pending_[device]);
  pending_[device].reset();
  const DeviceConfig& config = fleet_.devices[device];
  std::vector<std::string> authMessages{std::string(message)};
  const auto endWithoutTransfer = [&] {
    UpdateSession session;
    session.deviceAddress = config.address;
    session.authMessages = authMessages;
    host_.Finished(device, std::move(session));
  };
  if (config.faults.noAuthReply) return endWithoutTransfer();

  const auto auth = ParseAuthMessage(message);
  // A SHA-256 receiver leaves values of the wrong length unanswered and is
  // idle again.
  if (config.auth != AuthScheme::kMd5 && (!auth || auth->cnonce.size() != NonceDigits(config.auth)))
    return endWithoutTransfer();
  const bool accepted = auth && !config.faults.rejectAuth &&
                        auth->response == ExpectedAuthResponse(config.auth, config.password,
                                                               pending.nonce, auth->cnonce);
  const auto send = [&](std::string_view answer) {
    static_cast<void>(Speaker(device).SendTo(answer.data(), answer.size(), pending.writer));
  };
  if (config.faults.randomAuthReply) {
    const std::string reply = RandomAuthReply(fleet_.randoms[device]);
    if (!reply.starts_with("OK")) endWithoutTransfer();
    send(reply);
    if (reply.starts_with("OK"))
      BeginTransfer(device, pending.invitation, pending.writer, std::move(authMessages));
    return;
  }
  if (!accepted) {
    endWithoutTransfer();  // recorded before the writer can see the answer
    return send("Authentication Failed");
  }
  send("OK");
  BeginTransfer(device, pending.invitation, pending.writer, std::move(authMessages));
}

void UpdateService::BeginTransfer(size_t device, const Invitation& invitation,
                                  const sockaddr_in& writer, std::vector<std::string> authMessages,
                                  Ipv4Address from) {
  const DeviceConfig& config = fleet_.devices[device];
  if (config.faults.neverConnect && from == 0) {
    UpdateSession session;
    session.deviceAddress = config.address;
    session.authMessages = std::move(authMessages);
    return host_.Finished(device, std::move(session));
  }
  auto job = std::make_shared<TransferJob>();
  job->device = device;
  job->config = config;
  job->invitation = invitation;
  job->writer = writer;
  job->authMessages = std::move(authMessages);
  job->seed = config.faults.seed;
  job->stream = 0x10000u + transfers_++;
  if (from != 0) {
    // A stranger in the device's place: whatever it gets is not the device's.
    job->from = from;
    job->asStranger = true;
    job->config.faults = DeviceFaults{};
  }
  TransferHost& host = host_;
  host_.StartWorker(
      [&host, job](const StopSignal& workerStop) { RunTransfer(host, *job, workerStop); });
}

}  // namespace kesto::sim
