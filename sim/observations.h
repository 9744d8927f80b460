#pragma once

// What the simulated devices saw, and what follows from it (a restart, the
// sketch version reported after a write): written by the services and the
// transfers on their threads, read by tests on theirs.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "sim/simulator.h"

namespace kesto::sim {

class Observations {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Observations(const std::vector<DeviceConfig>& devices);

  // Set before the services start, then only read.
  std::function<void(const std::string&)> report;
  std::function<void(size_t, const UpdateSession&)> sessionObserver;

  // Counts a discovery request; which devices are restarting at now.
  std::vector<bool> DiscoveryRequest(Clock::time_point now);
  // Counts and reports an invitation; its number for this device, from 1.
  int Invitation(size_t device, uint16_t port);
  void InfoAnswerTaken(size_t device);
  void StrangerServed();
  // Records and reports a finished session; an accepted image may restart the
  // device and change the sketch version it reports.
  void Finished(size_t device, UpdateSession session);
  int SketchVersion(size_t device) const;

  int DiscoveryRequests() const;
  int Invitations(size_t device) const;
  std::vector<UpdateSession> Sessions(size_t device) const;
  int StrangerConnections() const;
  bool WaitForSessions(size_t device, size_t count, int timeoutMs) const;
  bool WaitForInfoAnswersTaken(size_t device, int count, int timeoutMs) const;

 private:
  const std::vector<DeviceConfig>& devices_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  int discoveryRequests_ = 0;
  std::vector<int> invitations_;
  std::vector<int> infoAnswersTaken_;
  std::vector<std::vector<UpdateSession>> sessions_;
  int strangers_ = 0;
  std::vector<Clock::time_point> restartUntil_;  // restartMs: silent until then
  std::vector<int> sketchVersions_;              // as reported now (sketchAfterWrite)
};

}  // namespace kesto::sim
