#include "sim/info_service.h"

#include <algorithm>
#include <random>

#include "platform/errors.h"
#include "sim/device_protocol.h"
#include "sim/device_socket.h"
#include "sim/hostile.h"
#include "sim/observations.h"

namespace kesto::sim {
namespace {

using std::chrono::milliseconds;

// A client that sends no request within this time is dropped.
constexpr milliseconds kRequestWait{10000};
// After the answer, how long the device waits for the client to close.
constexpr milliseconds kDrainWait{2000};
// Longest request line taken.
constexpr size_t kMaxRequest = 64;
// Pause of a listener whose accept fails for lack of resources.
constexpr milliseconds kAcceptPause{100};
// A dripping reply is given up after this long, whoever still listens.
constexpr milliseconds kDripHold{600000};
// A reply that did not fit into the socket at once is tried again this soon.
constexpr milliseconds kSendRetry{10};

}  // namespace

int InfoService::Bind(uint16_t port) {
  listeners_.resize(fleet_.devices.size());
  pausedUntil_.resize(fleet_.devices.size());
  for (size_t i = 0; i < listeners_.size(); ++i) {
    int error = 0;
    Socket& listener = listeners_[i];
    if ((error = OpenSocket(listener, SOCK_STREAM)) ||
        (error = ErrorNumber(listener.SetOption(SOL_SOCKET, SO_REUSEADDR, 1))) ||
        (error = ErrorNumber(listener.Bind(MakeSocketAddress(fleet_.addresses[i], port)))) ||
        (error = ErrorNumber(listener.Listen(64))))
      return error;
  }
  return 0;
}

void InfoService::RunDue(Clock::time_point now) {
  for (Connection& connection : connections_) {
    if (connection.deadline <= now) connection.closed = true;
    if (!connection.closed && connection.phase == Connection::Phase::kSend &&
        connection.nextSend <= now)
      Pump(connection, now);
  }
  connections_.remove_if([](const Connection& c) { return c.closed; });
}

void InfoService::Watch(std::vector<const Socket*>& sockets, Clock::time_point now) {
  for (size_t i = 0; i < listeners_.size(); ++i)
    sockets.push_back(pausedUntil_[i] > now ? nullptr : &listeners_[i]);
  watched_.clear();
  for (Connection& connection : connections_) {
    sockets.push_back(&connection.socket);
    watched_.push_back(&connection);
  }
}

void InfoService::OnReadable(size_t index, Clock::time_point now) {
  if (index < listeners_.size()) return Accept(index, now);
  // Accepted connections join the list's end, so the watched ones stay put.
  Serve(*watched_[index - listeners_.size()], now);
}

Clock::time_point InfoService::NextWake(Clock::time_point now) const {
  Clock::time_point wake = Clock::time_point::max();
  for (const Connection& connection : connections_) {
    wake = std::min(wake, connection.deadline);
    if (connection.phase == Connection::Phase::kSend) wake = std::min(wake, connection.nextSend);
  }
  for (const Clock::time_point paused : pausedUntil_)
    if (paused > now) wake = std::min(wake, paused);
  return wake;
}

void InfoService::Accept(size_t device, Clock::time_point now) {
  sockaddr_in peer{};
  Result<Socket> accepted = listeners_[device].Accept(&peer);
  if (!accepted) {
    if (errors::IsResourceShortage(accepted.error().value()))
      pausedUntil_[device] = now + kAcceptPause;
    return;
  }
  if (!fleet_.Allowed(peer.sin_addr.s_addr) || connections_.size() >= kMaxInfoConnections) return;
  Connection& connection = connections_.emplace_back();
  connection.socket = std::move(*accepted);
  connection.device = device;
  if (fleet_.devices[device].faults.infoHang) {
    // Holds the connection without a word until the client gives up or Stop.
    connection.phase = Connection::Phase::kHang;
  } else {
    connection.deadline = now + kRequestWait;
  }
}

void InfoService::Serve(Connection& connection, Clock::time_point now) {
  char buffer[256];
  const Result<size_t> got = connection.socket.TryReceive(buffer, sizeof buffer);
  if (ErrorNumber(got) == errors::kWouldBlock) return;
  if (!got || *got == 0) {
    if (got && connection.phase == Connection::Phase::kDrain)
      fleet_.observations.InfoAnswerTaken(connection.device);
    connection.closed = true;
    return;
  }
  if (connection.phase != Connection::Phase::kRequest) return;  // read and dropped
  connection.request.append(buffer, *got);
  // The writer ends each request with LF and a NUL.
  const size_t end = connection.request.find_first_of(std::string_view("\n\0", 2));
  if (end == std::string::npos) {
    if (connection.request.size() > kMaxRequest) connection.closed = true;
    return;
  }
  Answer(connection, std::string_view(connection.request).substr(0, end), now);
}

void InfoService::Answer(Connection& connection, std::string_view line, Clock::time_point now) {
  DeviceConfig config = fleet_.devices[connection.device];
  config.sketchVersion = fleet_.observations.SketchVersion(connection.device);
  std::string text;
  switch (ParseInfoRequest(line)) {
    case InfoRequest::kVer:
      text = VerText(config);
      break;
    case InfoRequest::kDump:
      text = DumpText(config);
      break;
    case InfoRequest::kRssi:
      text = RssiText(config);
      break;
    case InfoRequest::kUnknown:
      break;
  }
  const DeviceFaults& faults = config.faults;
  Random& random = fleet_.randoms[connection.device];
  if (faults.randomInfoReply) text = RandomInfoText(random, text);
  connection.outgoing = std::move(text);
  connection.sent = 0;
  connection.dripMs = faults.dripMs;
  if (faults.infoReset)
    connection.resetAt =
        std::uniform_int_distribution<size_t>(0, connection.outgoing.size())(random);
  connection.phase = Connection::Phase::kSend;
  connection.nextSend = now;
  connection.deadline = now + kDripHold;
  Pump(connection, now);
}

void InfoService::Pump(Connection& connection, Clock::time_point now) {
  const size_t end = std::min(connection.outgoing.size(), connection.resetAt);
  const size_t step = connection.dripMs > 0 ? 1 : end - connection.sent;
  if (connection.sent < end) {
    const Result<size_t> n = connection.socket.TrySend(connection.outgoing.data() + connection.sent,
                                                       std::min(step, end - connection.sent));
    if (!n && n.error().value() != errors::kWouldBlock) {
      connection.closed = true;
      return;
    }
    const size_t moved = n.value_or(0);  // none when there was no room
    connection.sent += moved;
    if (connection.sent < end) {
      connection.nextSend =
          now + (connection.dripMs > 0 && moved > 0 ? milliseconds(connection.dripMs) : kSendRetry);
      return;
    }
  }
  if (connection.resetAt != std::string::npos) {
    // A reset, not a close: whatever the client has not read yet is lost.
    CloseWithReset(connection.socket);
    connection.closed = true;
    return;
  }
  // One request per connection: close our side, then wait for the client's
  // close (reading what is left, such as the request's NUL) so that no reset
  // throws away the answer before the client has read it.
  ShutdownSend(connection.socket);
  connection.phase = Connection::Phase::kDrain;
  connection.deadline = now + kDrainWait;
}

}  // namespace kesto::sim
