#include "sim/observations.h"

#include "platform/format.h"

namespace kesto::sim {

using std::chrono::milliseconds;

Observations::Observations(const std::vector<DeviceConfig>& devices)
    : devices_(devices),
      invitations_(devices.size(), 0),
      infoAnswersTaken_(devices.size(), 0),
      sessions_(devices.size()),
      restartUntil_(devices.size()) {
  for (const DeviceConfig& device : devices) sketchVersions_.push_back(device.sketchVersion);
}

std::vector<bool> Observations::DiscoveryRequest(Clock::time_point now) {
  std::vector<bool> restarting(devices_.size());
  {
    std::lock_guard lock(mutex_);
    ++discoveryRequests_;
    for (size_t i = 0; i < devices_.size(); ++i) restarting[i] = restartUntil_[i] > now;
  }
  changed_.notify_all();
  return restarting;
}

int Observations::Invitation(size_t device, uint16_t port) {
  int count = 0;
  {
    std::lock_guard lock(mutex_);
    count = ++invitations_[device];
  }
  changed_.notify_all();
  if (report) report(Format("invitation %s port %u", devices_[device].address.c_str(), port));
  return count;
}

void Observations::InfoAnswerTaken(size_t device) {
  {
    std::lock_guard lock(mutex_);
    ++infoAnswersTaken_[device];
  }
  changed_.notify_all();
}

void Observations::StrangerServed() {
  {
    std::lock_guard lock(mutex_);
    ++strangers_;
  }
  changed_.notify_all();
}

void Observations::Finished(size_t device, UpdateSession session) {
  if (sessionObserver) sessionObserver(device, session);
  const std::string line = Format("session %s bytes %zu accepted %d", session.deviceAddress.c_str(),
                                  session.image.size(), session.accepted ? 1 : 0);
  const DeviceConfig& config = devices_[device];
  {
    std::lock_guard lock(mutex_);
    if (session.accepted && config.faults.restartMs > 0)
      restartUntil_[device] = Clock::now() + milliseconds(config.faults.restartMs);
    if (session.accepted && config.sketchAfterWrite > 0)
      sketchVersions_[device] = config.sketchAfterWrite;
    sessions_[device].push_back(std::move(session));
  }
  changed_.notify_all();
  if (report) report(line);
}

int Observations::SketchVersion(size_t device) const {
  std::lock_guard lock(mutex_);
  return sketchVersions_[device];
}

int Observations::DiscoveryRequests() const {
  std::lock_guard lock(mutex_);
  return discoveryRequests_;
}

int Observations::Invitations(size_t device) const {
  std::lock_guard lock(mutex_);
  return device < invitations_.size() ? invitations_[device] : 0;
}

std::vector<UpdateSession> Observations::Sessions(size_t device) const {
  std::lock_guard lock(mutex_);
  return device < sessions_.size() ? sessions_[device] : std::vector<UpdateSession>{};
}

int Observations::StrangerConnections() const {
  std::lock_guard lock(mutex_);
  return strangers_;
}

bool Observations::WaitForSessions(size_t device, size_t count, int timeoutMs) const {
  std::unique_lock lock(mutex_);
  if (device >= sessions_.size()) return false;
  return changed_.wait_for(lock, milliseconds(timeoutMs),
                           [&] { return sessions_[device].size() >= count; });
}

bool Observations::WaitForInfoAnswersTaken(size_t device, int count, int timeoutMs) const {
  std::unique_lock lock(mutex_);
  if (device >= infoAnswersTaken_.size()) return false;
  return changed_.wait_for(lock, milliseconds(timeoutMs),
                           [&] { return infoAnswersTaken_[device] >= count; });
}

}  // namespace kesto::sim
