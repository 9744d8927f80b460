#include "scripted_device.h"

#include <chrono>

#include "platform/errors.h"
#include "platform/format.h"

namespace kesto::testing {
namespace {

constexpr int kRequestWaitMs = 5000;
constexpr size_t kRequestLimit = 64;

// The request's bytes up to and including its NUL (or whatever came before
// the client closed or went quiet).
std::string ReadRequest(Socket& connection) {
  std::string request;
  while (request.size() < kRequestLimit) {
    char byte = 0;
    const IoResult received = connection.Receive(&byte, 1, kRequestWaitMs, nullptr);
    if (!received.ok() || received.bytes == 0) break;
    request.push_back(byte);
    if (byte == '\0') break;
  }
  return request;
}

}  // namespace

ScriptedInfoService::ScriptedInfoService(std::string address, uint16_t port)
    : address_(std::move(address)), port_(port) {}

ScriptedInfoService::~ScriptedInfoService() {
  Stop();
}

void ScriptedInfoService::SetAnswer(std::string_view request, Answer answer) {
  answers_[std::string(request)] = std::move(answer);
}

int ScriptedInfoService::Start() {
  int error = 0;
  listener_ = Socket::Open(SOCK_STREAM, error);
  if (error != 0) return error;
  listener_.SetOption(SOL_SOCKET, SO_REUSEADDR, 1);
  const std::optional<Ipv4Address> address = ParseIpv4(address_);
  if (!address) return errors::kInvalidArgument;
  if (const int bound = listener_.Bind(MakeSocketAddress(*address, port_))) return bound;
  if (const int listening = listener_.Listen(16)) return listening;
  thread_ = std::thread([this] { Run(); });
  return 0;
}

void ScriptedInfoService::Stop() {
  stop_.Trigger();
  if (thread_.joinable()) thread_.join();
  silent_.clear();
  listener_.Close();
}

void ScriptedInfoService::Run() {
  for (;;) {
    const int waited = listener_.WaitReadable(60000, &stop_);
    if (waited == errors::kCanceled) return;
    if (waited != 0) continue;
    sockaddr_in peer{};
    int error = 0;
    Socket connection = listener_.Accept(&peer, error);
    if (connection.valid()) Serve(std::move(connection), peer);
  }
}

void ScriptedInfoService::Serve(Socket connection, const sockaddr_in& peer) {
  const std::string request = ReadRequest(connection);
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
    peers_.push_back(Ipv4Text(peer.sin_addr.s_addr));
  }
  changed_.notify_all();
  const auto answer = answers_.find(request);
  if (answer == answers_.end()) return;
  const std::string& bytes = answer->second.bytes;
  const int gapMs = answer->second.byteGapMs;
  if (gapMs <= 0) {
    connection.SendAll(bytes.data(), bytes.size(), kRequestWaitMs, &stop_);
  } else {
    // Ends early when the client gives up (the send fails) or the service stops.
    for (const char byte : bytes)
      if (!connection.SendAll(&byte, 1, kRequestWaitMs, &stop_).ok() || !stop_.SleepFor(gapMs))
        break;
  }
  if (!answer->second.close) silent_.push_back(std::move(connection));
}

std::vector<std::string> ScriptedInfoService::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::vector<std::string> ScriptedInfoService::Peers() const {
  std::lock_guard lock(mutex_);
  return peers_;
}

bool ScriptedInfoService::WaitForConnections(size_t n, int timeoutMs) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return requests_.size() >= n; });
}

std::string VerAnswer(int sketchVersion, int textVersion) {
  return Format("SKETCH VER : %d\r\nTEXT VER : %d\r\n", sketchVersion, textVersion);
}

std::string DumpAnswer(int model, int id) {
  return Format("NAME : board\r\nMODEL: %d\r\nID: %d\r\nMODE : RUN\r\n", model, id);
}

std::vector<uint8_t> DiscoveryReplyBytes(char kindLetter, const std::array<uint8_t, 6>& mac,
                                         size_t size) {
  std::vector<uint8_t> full(std::max<size_t>(size, 30), 0);
  full[9] = static_cast<uint8_t>(kindLetter);
  std::copy(mac.begin(), mac.end(), full.begin() + 24);
  full.resize(size);
  return full;
}

BroadcastCatcher::BroadcastCatcher(uint16_t port) {
  int error = 0;
  socket_ = Socket::Open(SOCK_DGRAM, error);
  if (error != 0) return;
  socket_.SetOption(SOL_SOCKET, SO_REUSEADDR, 1);
  if (socket_.Bind(MakeSocketAddress(htonl(INADDR_ANY), port)) != 0) socket_.Close();
}

std::optional<BroadcastCatcher::Request> BroadcastCatcher::Receive(int timeoutMs) {
  std::array<char, 256> buffer{};
  Request request;
  const IoResult received =
      socket_.ReceiveFrom(buffer.data(), buffer.size(), &request.sender, timeoutMs, nullptr);
  if (!received.ok()) return std::nullopt;
  request.bytes.assign(buffer.data(), received.bytes);
  return request;
}

int SendFrom(const std::string& fromAddress, const sockaddr_in& to,
             const std::vector<uint8_t>& bytes) {
  int error = 0;
  Socket socket = Socket::Open(SOCK_DGRAM, error);
  if (error != 0) return error;
  const std::optional<Ipv4Address> from = ParseIpv4(fromAddress);
  if (!from) return errors::kInvalidArgument;
  if (const int bound = socket.Bind(MakeSocketAddress(*from, 0))) return bound;
  return socket.SendTo(bytes.data(), bytes.size(), to).error;
}

Ipv4Address Loopback(int k) {
  return htonl(INADDR_LOOPBACK - 1 + static_cast<uint32_t>(k));
}

}  // namespace kesto::testing
