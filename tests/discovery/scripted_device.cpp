#include "scripted_device.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <chrono>

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
  const std::optional<in_addr_t> address = ParseIpv4(address_);
  if (!address) return EINVAL;
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
    if (waited == ECANCELED) return;
    if (waited != 0) continue;
    int error = 0;
    Socket connection = listener_.Accept(nullptr, error);
    if (connection.valid()) Serve(std::move(connection));
  }
}

void ScriptedInfoService::Serve(Socket connection) {
  const std::string request = ReadRequest(connection);
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
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

in_addr_t Loopback(int k) {
  return htonl(INADDR_LOOPBACK - 1 + static_cast<uint32_t>(k));
}

}  // namespace kesto::testing
