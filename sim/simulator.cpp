// One service loop answers for every simulated device: the shared discovery
// socket, each device's information listener and its update receiver socket,
// and the information connections in flight. Only the TCP transfers of the
// update receiver run on threads of their own (see update_transfer.cpp).

#include "sim/simulator.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/errors.h"
#include "platform/format.h"
#include "platform/process.h"
#include "platform/socket.h"
#include "platform/stop_signal.h"
#include "sim/device_protocol.h"
#include "sim/hostile.h"
#include "sim/update_transfer.h"

namespace kesto::sim {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// An information client that sends no request within this time is dropped.
constexpr milliseconds kRequestWait{10000};
// After the answer, how long the device waits for the client to close.
constexpr milliseconds kDrainWait{2000};
// Longest request line taken.
constexpr size_t kMaxRequest = 64;
// Information connections held at once; more are closed at once.
constexpr size_t kMaxConnections = 512;
// Pause of a listener whose accept fails for lack of resources.
constexpr milliseconds kAcceptPause{100};
// Largest image the receiver takes.
constexpr uint32_t kMaxImageSize = 64u * 1024 * 1024;
// The loop wakes at least this often even with nothing to do.
constexpr milliseconds kIdleWake{1000};
// A dripping reply is given up after this long, whoever still listens.
constexpr milliseconds kDripHold{600000};
// A reply that did not fit into the socket at once is tried again this soon.
constexpr milliseconds kSendRetry{10};
// First of the addresses that flood replies come from: 127.77.0.1 and up.
constexpr uint32_t kPhantomBase = 0x7f4d0000;

bool IsLoopback(Ipv4Address address) {
  return (ntohl(address) >> 24) == 127;
}

bool SameEndpoint(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

// A large fleet holds several descriptors per device, and a writer in the
// same process (a benchmark, a test) opens its own: raise the soft limit as
// far as the hard one allows, when it is below what the fleet needs.
void EnsureDescriptors(size_t devices) {
  RaiseOpenFileLimit(devices * 4 + kMaxConnections + 256);
}

Ipv4Address StrangerOf(Ipv4Address device) {
  const uint32_t host = ntohl(device);
  return htonl((host & 0xffffff00u) | ((host & 0xff) == 200 ? 201u : 200u));
}

// An "AUTH" answer waiting for the writer's authentication message.
struct PendingAuth {
  Invitation invitation;
  sockaddr_in writer{};
  std::string nonce;
};

struct DeviceEndpoint {
  Ipv4Address address = 0;
  Socket infoListener;
  Socket updateSocket;  // also sends the discovery replies, from the device's address
  Socket sideSocket;    // answerFromOtherPort: the update receiver's second port
  std::optional<PendingAuth> pending;
  Clock::time_point listenerPausedUntil{};
  Random random;  // the hostile choices of the service loop
};

struct InfoConnection {
  enum class Phase { kRequest, kHang, kSend, kDrain };
  Socket socket;
  size_t device = 0;
  Phase phase = Phase::kRequest;
  std::string request;
  Clock::time_point deadline = Clock::time_point::max();
  bool closed = false;
  // The answer on its way out, a byte at a time when dripping.
  std::string outgoing;
  size_t sent = 0;
  size_t resetAt = std::string::npos;  // infoReset: the connection is reset here
  int dripMs = 0;
  Clock::time_point nextSend{};
};

struct ScheduledReply {
  size_t device = 0;
  sockaddr_in to{};
  Ipv4Address source = 0;  // 0: from the device's own socket
  int flood = 0;           // >0: the flood's nth reply; the next is queued when it goes
};

// Everything the service loop owns; made by Start, handed to the loop thread.
struct LoopState {
  Socket discovery;
  Socket stranger;  // wildcard-bound: speaks for strangers and phantoms (SendToFrom)
  std::vector<DeviceEndpoint> devices;
  std::list<InfoConnection> connections;
  std::multimap<Clock::time_point, ScheduledReply> replies;  // equal times keep their order
};

struct Worker {
  std::thread thread;
  std::shared_ptr<std::atomic<bool>> done;
};

}  // namespace

struct Simulator::Impl final : TransferHost {
  Impl(std::vector<DeviceConfig> configs, Ports p, bool loopback)
      : devices(std::move(configs)),
        ports(p),
        loopbackOnly(loopback),
        invitations(devices.size(), 0),
        infoAnswersTaken(devices.size(), 0),
        sessions(devices.size()),
        restartUntil(devices.size()) {
    for (const DeviceConfig& device : devices) sketchVersions.push_back(device.sketchVersion);
  }

  const std::vector<DeviceConfig> devices;
  const Ports ports;
  const bool loopbackOnly;

  // Observations, guarded by mutex.
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  int discoveryRequests = 0;
  std::vector<int> invitations;
  std::vector<int> infoAnswersTaken;
  std::vector<std::vector<UpdateSession>> sessions;
  int strangers = 0;
  std::vector<Clock::time_point> restartUntil;     // restartMs: silent until then
  std::vector<int> sketchVersions;                 // as reported now (sketchAfterWrite)
  std::function<void(const std::string&)> report;  // set before Start, then only read
  std::function<void(size_t, const UpdateSession&)> sessionObserver;  // likewise

  // Running state; touched only by Start and Stop (and the workers list by workers).
  std::unique_ptr<StopSignal> stop;
  std::thread loop;
  std::mutex workersMutex;
  std::list<Worker> workers;
  bool acceptingWorkers = false;

  int Bind(LoopState& state) const;
  void Run(LoopState& state);

  // TransferHost
  void Finished(size_t device, UpdateSession session) override;
  void StrangerServed() override;
  void StartWorker(std::function<void(const StopSignal&)> work) override;

 private:
  bool Allowed(Ipv4Address sender) const { return !loopbackOnly || IsLoopback(sender); }
  void HandleDiscovery(LoopState& state, Clock::time_point now);
  void SendDueReplies(LoopState& state, Clock::time_point now);
  void HandleUpdateDatagram(LoopState& state, size_t device, Socket& socket);
  void OnInvitation(LoopState& state, size_t device, const Invitation& invitation,
                    const sockaddr_in& from);
  void OnAuthMessage(DeviceEndpoint& endpoint, size_t device, std::string_view message);
  void BeginTransfer(size_t device, const Invitation& invitation, const sockaddr_in& writer,
                     std::vector<std::string> authMessages, Ipv4Address from = 0);
  void AcceptInfo(LoopState& state, size_t device, Clock::time_point now);
  void ServeInfo(InfoConnection& connection, Random& random, Clock::time_point now);
  void Answer(InfoConnection& connection, std::string_view line, Clock::time_point now,
              Random& random);
  static void PumpAnswer(InfoConnection& connection, Clock::time_point now);
  // Where the nth reply of a device's flood comes from (0: the device itself).
  Ipv4Address FloodSource(size_t device, int n, bool loopback) const;
  std::atomic<uint32_t> transfers{0};  // numbers the transfers' random streams
  static Clock::time_point NextWake(const LoopState& state, Clock::time_point now);
};

int Simulator::Impl::Bind(LoopState& state) const {
  int error = 0;
  // Every device hears the broadcast through one socket on the wildcard address;
  // SO_REUSEADDR lets other simulators on the same host share the port.
  if (Result<Socket> opened = Socket::Open(SOCK_DGRAM))
    state.discovery = std::move(*opened);
  else
    return opened.error().value();
  if ((error = ErrorNumber(state.discovery.SetOption(SOL_SOCKET, SO_REUSEADDR, 1))) ||
      (error = ErrorNumber(state.discovery.SetOption(SOL_SOCKET, SO_BROADCAST, 1))) ||
      (error = ErrorNumber(state.discovery.SetOption(IPPROTO_IP, IP_PKTINFO, 1))) ||
      (error = ErrorNumber(state.discovery.Bind(MakeSocketAddress(INADDR_ANY, ports.discovery)))))
    return error;

  if (Result<Socket> opened = Socket::Open(SOCK_DGRAM))

    state.stranger = std::move(*opened);

  else

    return opened.error().value();
  if ((error = ErrorNumber(state.stranger.Bind(MakeSocketAddress(INADDR_ANY, 0))))) return error;

  state.devices.resize(devices.size());
  for (size_t i = 0; i < devices.size(); ++i) {
    DeviceEndpoint& endpoint = state.devices[i];
    const auto address = ParseIpv4(devices[i].address);
    if (!address) return errors::kInvalidArgument;
    endpoint.address = *address;
    endpoint.random = MakeRandom(devices[i].faults.seed, static_cast<uint32_t>(i));
    if (devices[i].faults.answerFromOtherPort) {
      if (Result<Socket> opened = Socket::Open(SOCK_DGRAM))
        endpoint.sideSocket = std::move(*opened);
      else
        return opened.error().value();
      if ((error = ErrorNumber(endpoint.sideSocket.Bind(MakeSocketAddress(*address, 0)))))
        return error;
    }

    if (Result<Socket> opened = Socket::Open(SOCK_DGRAM))

      endpoint.updateSocket = std::move(*opened);

    else

      return opened.error().value();
    if ((error =
             ErrorNumber(endpoint.updateSocket.Bind(MakeSocketAddress(*address, ports.update)))))
      return error;

    if (Result<Socket> opened = Socket::Open(SOCK_STREAM))

      endpoint.infoListener = std::move(*opened);

    else

      return opened.error().value();
    if ((error = ErrorNumber(endpoint.infoListener.SetOption(SOL_SOCKET, SO_REUSEADDR, 1))) ||
        (error =
             ErrorNumber(endpoint.infoListener.Bind(MakeSocketAddress(*address, ports.query)))) ||
        (error = ErrorNumber(endpoint.infoListener.Listen(64))))
      return error;
  }
  return 0;
}

void Simulator::Impl::Run(LoopState& state) {
  std::vector<const Socket*> sockets;
  std::vector<bool> readable;
  for (;;) {
    Clock::time_point now = Clock::now();
    SendDueReplies(state, now);
    for (InfoConnection& connection : state.connections) {
      if (connection.deadline <= now) connection.closed = true;
      if (!connection.closed && connection.phase == InfoConnection::Phase::kSend &&
          connection.nextSend <= now)
        PumpAnswer(connection, now);
    }
    state.connections.remove_if([](const InfoConnection& c) { return c.closed; });

    sockets.clear();
    sockets.push_back(&state.discovery);
    for (const DeviceEndpoint& endpoint : state.devices) {
      sockets.push_back(&endpoint.updateSocket);
      const bool paused = endpoint.listenerPausedUntil > now;
      sockets.push_back(paused ? nullptr : &endpoint.infoListener);
      sockets.push_back(&endpoint.sideSocket);  // invalid unless answerFromOtherPort
    }
    for (const InfoConnection& connection : state.connections)
      sockets.push_back(&connection.socket);

    const auto wait = std::chrono::ceil<milliseconds>(NextWake(state, now) - now);
    const int waited = WaitAnyReadable(
        sockets, readable, static_cast<int>(std::max<long long>(0, wait.count())), stop.get());
    if (waited == errors::kCanceled) return;
    if (waited == errors::kTimedOut) continue;
    if (waited != 0) {
      if (!stop->SleepFor(10)) return;  // out of resources: try again shortly
      continue;
    }

    now = Clock::now();
    size_t at = 1;
    if (readable[0]) HandleDiscovery(state, now);
    for (size_t i = 0; i < state.devices.size(); ++i, at += 3) {
      if (readable[at]) HandleUpdateDatagram(state, i, state.devices[i].updateSocket);
      if (readable[at + 1]) AcceptInfo(state, i, now);
      if (readable[at + 2]) HandleUpdateDatagram(state, i, state.devices[i].sideSocket);
    }
    // Connections accepted just now sit at the end of the list, past the polled ones.
    for (auto it = state.connections.begin(); at < readable.size(); ++it, ++at)
      if (readable[at]) ServeInfo(*it, state.devices[it->device].random, now);
  }
}

Ipv4Address Simulator::Impl::FloodSource(size_t device, int n, bool loopback) const {
  if (!devices[device].faults.floodFromPhantoms || !loopback) return 0;
  return htonl(kPhantomBase + static_cast<uint32_t>(n));
}

Clock::time_point Simulator::Impl::NextWake(const LoopState& state, Clock::time_point now) {
  Clock::time_point wake = now + kIdleWake;
  if (!state.replies.empty()) wake = std::min(wake, state.replies.begin()->first);
  for (const InfoConnection& connection : state.connections) {
    wake = std::min(wake, connection.deadline);
    if (connection.phase == InfoConnection::Phase::kSend)
      wake = std::min(wake, connection.nextSend);
  }
  for (const DeviceEndpoint& endpoint : state.devices)
    if (endpoint.listenerPausedUntil > now) wake = std::min(wake, endpoint.listenerPausedUntil);
  return wake;
}

// ---- Discovery responder

void Simulator::Impl::HandleDiscovery(LoopState& state, Clock::time_point now) {
  uint8_t request[64];
  sockaddr_in from{};
  Ipv4Address destination = 0;
  const IoResult r =
      state.discovery.ReceiveWithDestination(request, sizeof request, from, destination);
  if (!r.ok() || r.bytes != 2 || request[0] != 'L' || request[1] != 'N') return;
  if (!Allowed(from.sin_addr.s_addr)) return;
  std::vector<bool> restarting(devices.size());
  {
    std::lock_guard lock(mutex);
    ++discoveryRequests;
    for (size_t i = 0; i < devices.size(); ++i) restarting[i] = restartUntil[i] > now;
  }
  changed.notify_all();
  // Replies wait in a timer queue, so one device's delay holds up no other.
  // Strangers and phantoms can only be spoken for on loopback, where every
  // 127.x.y.z address is this host's.
  const bool loopback = IsLoopback(from.sin_addr.s_addr);
  // A request sent to one device's address is that device's alone.
  const auto addressed =
      std::find_if(state.devices.begin(), state.devices.end(),
                   [&](const DeviceEndpoint& e) { return e.address == destination; });
  for (size_t i = 0; i < devices.size(); ++i) {
    const DeviceFaults& faults = devices[i].faults;
    const bool direct = addressed != state.devices.end();
    if (direct && &state.devices[i] != &*addressed) continue;
    if (faults.noDiscoveryReply || restarting[i] || (!direct && faults.noBroadcastReply)) continue;
    const auto due = now + milliseconds(faults.replyDelayMs);
    const Ipv4Address source =
        faults.discoveryFromStranger && loopback ? StrangerOf(state.devices[i].address) : 0;
    for (int k = faults.replyTwice ? 2 : 1; k > 0; --k)
      state.replies.emplace(due, ScheduledReply{i, from, source});
    // One flood reply queued at a time: even a huge flood costs nothing up front.
    if (faults.floodReplies > 0)
      state.replies.emplace(due + milliseconds(faults.floodIntervalMs),
                            ScheduledReply{i, from, FloodSource(i, 1, loopback), 1});
  }
}

void Simulator::Impl::SendDueReplies(LoopState& state, Clock::time_point now) {
  while (!state.replies.empty() && state.replies.begin()->first <= now) {
    const ScheduledReply reply = state.replies.begin()->second;
    state.replies.erase(state.replies.begin());
    const DeviceConfig& config = devices[reply.device];
    DeviceEndpoint& endpoint = state.devices[reply.device];
    const std::vector<uint8_t> bytes = config.faults.randomDiscoveryReply
                                           ? RandomDiscoveryReply(endpoint.random, config)
                                           : DiscoveryReplyBytes(config);
    if (reply.source != 0)
      state.stranger.SendToFrom(bytes.data(), bytes.size(), reply.source, reply.to);
    else
      endpoint.updateSocket.SendTo(bytes.data(), bytes.size(), reply.to);
    if (reply.flood > 0 && reply.flood < config.faults.floodReplies) {
      const int next = reply.flood + 1;
      const bool loopback = IsLoopback(reply.to.sin_addr.s_addr);
      state.replies.emplace(
          now + milliseconds(config.faults.floodIntervalMs),
          ScheduledReply{reply.device, reply.to, FloodSource(reply.device, next, loopback), next});
    }
  }
}

// ---- Update receiver, UDP half

void Simulator::Impl::HandleUpdateDatagram(LoopState& state, size_t device, Socket& socket) {
  DeviceEndpoint& endpoint = state.devices[device];
  char buffer[512];
  sockaddr_in from{};
  const IoResult r = socket.ReceiveFrom(buffer, sizeof buffer, &from, 0, nullptr);
  if (!r.ok() || !Allowed(from.sin_addr.s_addr)) return;
  const std::string_view text(buffer, r.bytes);
  if (const auto invitation = ParseInvitation(text)) {
    OnInvitation(state, device, *invitation, from);
  } else if (endpoint.pending && SameEndpoint(from, endpoint.pending->writer)) {
    OnAuthMessage(endpoint, device, text);
  }
}

void Simulator::Impl::OnInvitation(LoopState& state, size_t device, const Invitation& invitation,
                                   const sockaddr_in& from) {
  DeviceEndpoint& endpoint = state.devices[device];
  int count = 0;
  {
    std::lock_guard lock(mutex);
    count = ++invitations[device];
  }
  changed.notify_all();
  if (report)
    report(Format("invitation %s port %u", devices[device].address.c_str(), invitation.port));
  // A new invitation starts over, as when the writer missed the first answer.
  endpoint.pending.reset();
  const DeviceConfig& config = devices[device];
  const DeviceFaults& faults = config.faults;
  if (faults.updateNoAnswer) return;
  if (faults.answerOnlyInvitation > 0 && count != faults.answerOnlyInvitation) return;
  if (faults.answerFromStranger) {
    // The device keeps quiet; its neighbour says "OK" and comes for the image.
    if (!IsLoopback(from.sin_addr.s_addr)) return;
    const Ipv4Address stranger = StrangerOf(endpoint.address);
    state.stranger.SendToFrom("OK", 2, stranger, from);
    return BeginTransfer(device, invitation, from, {}, stranger);
  }
  Socket& speaker = endpoint.sideSocket.valid() ? endpoint.sideSocket : endpoint.updateSocket;
  const auto send = [&](std::string_view answer) {
    speaker.SendTo(answer.data(), answer.size(), from);
  };
  if (faults.junkAnswer || count <= faults.busyInvitations) return send("ERR");
  if (faults.randomAnswer) {
    const std::string answer = RandomAnswer(endpoint.random);
    send(answer);
    if (answer.starts_with("OK")) return BeginTransfer(device, invitation, from, {});
    if (answer.starts_with("AUTH"))
      endpoint.pending = PendingAuth{invitation, from, answer.size() > 5 ? answer.substr(5) : ""};
    return;
  }
  if (invitation.size > kMaxImageSize) return send("ERR: Not Enough Space");
  if (!config.password.empty()) {
    endpoint.pending = PendingAuth{invitation, from, NewNonce(NonceDigits(config.auth))};
    return send("AUTH " + endpoint.pending->nonce);
  }
  send("OK");
  BeginTransfer(device, invitation, from, {});
}

void Simulator::Impl::OnAuthMessage(DeviceEndpoint& endpoint, size_t device,
                                    std::string_view message) {
  const PendingAuth pending = std::move(*endpoint.pending);
  endpoint.pending.reset();
  const DeviceConfig& config = devices[device];
  std::vector<std::string> authMessages{std::string(message)};
  const auto endWithoutTransfer = [&] {
    UpdateSession session;
    session.deviceAddress = config.address;
    session.authMessages = authMessages;
    Finished(device, std::move(session));
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
  Socket& speaker = endpoint.sideSocket.valid() ? endpoint.sideSocket : endpoint.updateSocket;
  const auto send = [&](std::string_view answer) {
    speaker.SendTo(answer.data(), answer.size(), pending.writer);
  };
  if (config.faults.randomAuthReply) {
    const std::string reply = RandomAuthReply(endpoint.random);
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

void Simulator::Impl::BeginTransfer(size_t device, const Invitation& invitation,
                                    const sockaddr_in& writer,
                                    std::vector<std::string> authMessages, Ipv4Address from) {
  if (devices[device].faults.neverConnect && from == 0) {
    UpdateSession session;
    session.deviceAddress = devices[device].address;
    session.authMessages = std::move(authMessages);
    return Finished(device, std::move(session));
  }
  auto job = std::make_shared<TransferJob>();
  job->device = device;
  job->config = devices[device];
  job->invitation = invitation;
  job->writer = writer;
  job->authMessages = std::move(authMessages);
  job->seed = devices[device].faults.seed;
  job->stream = 0x10000u + transfers++;
  if (from != 0) {
    // A stranger in the device's place: whatever it gets is not the device's.
    job->from = from;
    job->asStranger = true;
    job->config.faults = DeviceFaults{};
  }
  StartWorker([this, job](const StopSignal& workerStop) { RunTransfer(*this, *job, workerStop); });
}

// ---- Information service

void Simulator::Impl::AcceptInfo(LoopState& state, size_t device, Clock::time_point now) {
  DeviceEndpoint& endpoint = state.devices[device];
  sockaddr_in peer{};
  Result<Socket> accepted = endpoint.infoListener.Accept(&peer);
  if (!accepted) {
    if (errors::IsResourceShortage(accepted.error().value()))
      endpoint.listenerPausedUntil = now + kAcceptPause;
    return;
  }
  if (!Allowed(peer.sin_addr.s_addr) || state.connections.size() >= kMaxConnections) return;
  InfoConnection& connection = state.connections.emplace_back();
  connection.socket = std::move(*accepted);
  connection.device = device;
  if (devices[device].faults.infoHang) {
    // Holds the connection without a word until the client gives up or Stop.
    connection.phase = InfoConnection::Phase::kHang;
  } else {
    connection.deadline = now + kRequestWait;
  }
}

void Simulator::Impl::ServeInfo(InfoConnection& connection, Random& random, Clock::time_point now) {
  char buffer[256];
  const IoResult got = connection.socket.TryReceive(buffer, sizeof buffer);
  if (got.error == errors::kWouldBlock) return;
  if (!got.ok() || got.bytes == 0) {
    if (got.ok() && connection.phase == InfoConnection::Phase::kDrain) {
      {
        std::lock_guard lock(mutex);
        ++infoAnswersTaken[connection.device];
      }
      changed.notify_all();
    }
    connection.closed = true;
    return;
  }
  if (connection.phase != InfoConnection::Phase::kRequest) return;  // read and dropped
  connection.request.append(buffer, got.bytes);
  // The writer ends each request with LF and a NUL.
  const size_t end = connection.request.find_first_of(std::string_view("\n\0", 2));
  if (end == std::string::npos) {
    if (connection.request.size() > kMaxRequest) connection.closed = true;
    return;
  }
  Answer(connection, std::string_view(connection.request).substr(0, end), now, random);
}

void Simulator::Impl::Answer(InfoConnection& connection, std::string_view line,
                             Clock::time_point now, Random& random) {
  DeviceConfig config = devices[connection.device];
  {
    std::lock_guard lock(mutex);
    config.sketchVersion = sketchVersions[connection.device];
  }
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
  if (faults.randomInfoReply) text = RandomInfoText(random, text);
  connection.outgoing = std::move(text);
  connection.sent = 0;
  connection.dripMs = faults.dripMs;
  if (faults.infoReset)
    connection.resetAt =
        std::uniform_int_distribution<size_t>(0, connection.outgoing.size())(random);
  connection.phase = InfoConnection::Phase::kSend;
  connection.nextSend = now;
  connection.deadline = now + kDripHold;
  PumpAnswer(connection, now);
}

void Simulator::Impl::PumpAnswer(InfoConnection& connection, Clock::time_point now) {
  const size_t end = std::min(connection.outgoing.size(), connection.resetAt);
  const size_t step = connection.dripMs > 0 ? 1 : end - connection.sent;
  if (connection.sent < end) {
    const IoResult n = connection.socket.TrySend(connection.outgoing.data() + connection.sent,
                                                 std::min(step, end - connection.sent));
    if (!n.ok() && n.error != errors::kWouldBlock) {
      connection.closed = true;
      return;
    }
    connection.sent += n.bytes;
    if (connection.sent < end) {
      connection.nextSend =
          now +
          (connection.dripMs > 0 && n.bytes > 0 ? milliseconds(connection.dripMs) : kSendRetry);
      return;
    }
  }
  if (connection.resetAt != std::string::npos) {
    // A reset, not a close: whatever the client has not read yet is lost.
    connection.socket.CloseWithReset();
    connection.closed = true;
    return;
  }
  // One request per connection: close our side, then wait for the client's
  // close (reading what is left, such as the request's NUL) so that no reset
  // throws away the answer before the client has read it.
  connection.socket.ShutdownSend();
  connection.phase = InfoConnection::Phase::kDrain;
  connection.deadline = now + kDrainWait;
}

// ---- Observations and workers

void Simulator::Impl::Finished(size_t device, UpdateSession session) {
  if (sessionObserver) sessionObserver(device, session);
  const std::string line = Format("session %s bytes %zu accepted %d", session.deviceAddress.c_str(),
                                  session.image.size(), session.accepted ? 1 : 0);
  {
    std::lock_guard lock(mutex);
    if (session.accepted && devices[device].faults.restartMs > 0)
      restartUntil[device] = Clock::now() + milliseconds(devices[device].faults.restartMs);
    if (session.accepted && devices[device].sketchAfterWrite > 0)
      sketchVersions[device] = devices[device].sketchAfterWrite;
    sessions[device].push_back(std::move(session));
  }
  changed.notify_all();
  if (report) report(line);
}

void Simulator::Impl::StrangerServed() {
  {
    std::lock_guard lock(mutex);
    ++strangers;
  }
  changed.notify_all();
}

void Simulator::Impl::StartWorker(std::function<void(const StopSignal&)> work) {
  std::lock_guard lock(workersMutex);
  if (!acceptingWorkers) return;
  // Join the workers that are done, so a long run does not pile up threads.
  for (auto it = workers.begin(); it != workers.end();) {
    if (it->done->load()) {
      it->thread.join();
      it = workers.erase(it);
    } else {
      ++it;
    }
  }
  auto done = std::make_shared<std::atomic<bool>>(false);
  const StopSignal* signal = stop.get();
  workers.push_back(Worker{std::thread([work = std::move(work), done, signal] {
                             work(*signal);
                             done->store(true);
                           }),
                           done});
}

// ---- Simulator

Simulator::Simulator(std::vector<DeviceConfig> devices, Ports ports, bool loopbackOnly)
    : impl_(std::make_unique<Impl>(std::move(devices), ports, loopbackOnly)) {}

Simulator::~Simulator() {
  Stop();
}

void Simulator::SetReport(std::function<void(const std::string&)> report) {
  impl_->report = std::move(report);
}

void Simulator::OnSession(
    std::function<void(size_t device, const UpdateSession& session)> observer) {
  impl_->sessionObserver = std::move(observer);
}

int Simulator::Start() {
  if (impl_->loop.joinable()) return errors::kAlready;
  EnsureDescriptors(impl_->devices.size());
  auto state = std::make_unique<LoopState>();
  if (const int error = impl_->Bind(*state)) return error;
  auto stop = std::make_unique<StopSignal>();
  if (!stop->valid()) return errors::kTooManyFiles;
  impl_->stop = std::move(stop);
  {
    std::lock_guard lock(impl_->workersMutex);
    impl_->acceptingWorkers = true;
  }
  impl_->loop = std::thread([impl = impl_.get(), state = std::move(state)] { impl->Run(*state); });
  return 0;
}

void Simulator::Stop() {
  if (!impl_->loop.joinable()) return;
  impl_->stop->Trigger();
  impl_->loop.join();
  std::list<Worker> workers;
  {
    std::lock_guard lock(impl_->workersMutex);
    impl_->acceptingWorkers = false;
    workers.swap(impl_->workers);
  }
  for (Worker& worker : workers) worker.thread.join();
  impl_->stop.reset();
}

int Simulator::DiscoveryRequests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->discoveryRequests;
}

int Simulator::Invitations(size_t device) const {
  std::lock_guard lock(impl_->mutex);
  return device < impl_->invitations.size() ? impl_->invitations[device] : 0;
}

std::vector<UpdateSession> Simulator::Sessions(size_t device) const {
  std::lock_guard lock(impl_->mutex);
  return device < impl_->sessions.size() ? impl_->sessions[device] : std::vector<UpdateSession>{};
}

int Simulator::StrangerConnections() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->strangers;
}

bool Simulator::WaitForSessions(size_t device, size_t count, int timeoutMs) const {
  std::unique_lock lock(impl_->mutex);
  if (device >= impl_->sessions.size()) return false;
  return impl_->changed.wait_for(lock, milliseconds(timeoutMs),
                                 [&] { return impl_->sessions[device].size() >= count; });
}

bool Simulator::WaitForInfoAnswersTaken(size_t device, int count, int timeoutMs) const {
  std::unique_lock lock(impl_->mutex);
  if (device >= impl_->infoAnswersTaken.size()) return false;
  return impl_->changed.wait_for(lock, milliseconds(timeoutMs),
                                 [&] { return impl_->infoAnswersTaken[device] >= count; });
}

}  // namespace kesto::sim
