#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "platform/stop_signal.h"

namespace kesto::testing {

// A hand-driven information service on one loopback address, for the exact
// byte sequences the simulator has no switch for. Each connection's request
// (read up to its NUL) is recorded and answered from a script.
class ScriptedInfoService {
 public:
  struct Answer {
    std::string bytes;
    bool close = true;  // false: stay silent with the connection open until Stop
    int byteGapMs = 0;  // > 0: one byte at a time, this long apart (a dripping device)
  };

  ScriptedInfoService(std::string address, uint16_t port);
  ~ScriptedInfoService();
  ScriptedInfoService(const ScriptedInfoService&) = delete;
  ScriptedInfoService& operator=(const ScriptedInfoService&) = delete;

  // Call before Start. A request without an answer gets the connection closed.
  void SetAnswer(std::string_view request, Answer answer);
  int Start();
  void Stop();

  std::vector<std::string> Requests() const;  // arrival order, each with its NUL
  std::vector<std::string> Peers() const;     // source address of each connection
  // Waits (bounded) until at least n connections have been taken.
  bool WaitForConnections(size_t n, int timeoutMs) const;

 private:
  void Run();
  void Serve(Socket connection, const sockaddr_in& peer);

  std::string address_;
  uint16_t port_;
  std::map<std::string, Answer, std::less<>> answers_;
  Socket listener_;
  StopSignal stop_;
  std::thread thread_;
  std::vector<Socket> silent_;  // connections kept open on purpose
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> requests_;
  std::vector<std::string> peers_;
};

// "VER" answer text: two CR LF lines with the usual keys.
std::string VerAnswer(int sketchVersion, int textVersion);
// "DUMP" answer text with MODEL and ID entries among other lines.
std::string DumpAnswer(int model, int id);

// A discovery reply of size bytes (30 normally) with the kind letter at byte 9
// and the hardware address at bytes 24..29 as far as size reaches.
std::vector<uint8_t> DiscoveryReplyBytes(char kindLetter, const std::array<uint8_t, 6>& mac,
                                         size_t size = 30);

// Stands in for the discovery responders: takes the broadcast on port (bound
// to 0.0.0.0 with SO_REUSEADDR, as a device would) and replies from chosen
// loopback addresses.
class BroadcastCatcher {
 public:
  explicit BroadcastCatcher(uint16_t port);
  bool ok() const { return socket_.valid(); }

  struct Request {
    std::string bytes;
    sockaddr_in sender{};
  };
  // The next datagram on the port, or nullopt after timeoutMs.
  std::optional<Request> Receive(int timeoutMs);

 private:
  Socket socket_;
};

// Sends one datagram from a socket bound to fromAddress (port 0). 0 or errno.
int SendFrom(const std::string& fromAddress, const sockaddr_in& to,
             const std::vector<uint8_t>& bytes);

Ipv4Address Loopback(int k);  // 127.0.0.k

}  // namespace kesto::testing
