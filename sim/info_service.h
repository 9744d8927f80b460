#pragma once

// The information service: each device's listener, and the connections in
// flight, each answering one request (VER, DUMP, RSSI) before it closes.

#include <list>
#include <string>
#include <string_view>

#include "sim/service.h"

namespace kesto::sim {

// Information connections held at once; more are closed at once.
inline constexpr size_t kMaxInfoConnections = 512;

class InfoService final : public Service {
 public:
  explicit InfoService(Fleet& fleet) : fleet_(fleet) {}
  int Bind(uint16_t port);

  void RunDue(Clock::time_point now) override;
  void Watch(std::vector<const Socket*>& sockets, Clock::time_point now) override;
  void OnReadable(size_t index, Clock::time_point now) override;
  Clock::time_point NextWake(Clock::time_point now) const override;

 private:
  struct Connection {
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

  void Accept(size_t device, Clock::time_point now);
  void Serve(Connection& connection, Clock::time_point now);
  void Answer(Connection& connection, std::string_view line, Clock::time_point now);
  static void Pump(Connection& connection, Clock::time_point now);

  Fleet& fleet_;
  std::vector<Socket> listeners_;
  std::vector<Clock::time_point> pausedUntil_;  // a listener short of resources rests
  std::list<Connection> connections_;
  std::vector<Connection*> watched_;  // the connections Watch appended, in order
};

}  // namespace kesto::sim
