#pragma once

#include <netinet/in.h>

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
  // Waits (bounded) until at least n connections have been taken.
  bool WaitForConnections(size_t n, int timeoutMs) const;

 private:
  void Run();
  void Serve(Socket connection);

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
};

// "VER" answer text: two CR LF lines with the usual keys.
std::string VerAnswer(int sketchVersion, int textVersion);
// "DUMP" answer text with MODEL and ID entries among other lines.
std::string DumpAnswer(int model, int id);

in_addr_t Loopback(int k);  // 127.0.0.k

}  // namespace kesto::testing
