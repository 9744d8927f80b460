// One short loop serves every simulated device: it asks each service
// (discovery, information, update) for its sockets and its next wake-up, waits,
// and hands each readable socket to the service that owns it. Only the TCP
// transfers of the update receiver run on threads of their own (see
// update_transfer.cpp).

#include "sim/simulator.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/errors.h"
#include "platform/process.h"
#include "platform/socket.h"
#include "platform/stop_signal.h"
#include "sim/device_socket.h"
#include "sim/discovery_service.h"
#include "sim/info_service.h"
#include "sim/observations.h"
#include "sim/service.h"
#include "sim/update_service.h"
#include "sim/update_transfer.h"

namespace kesto::sim {
namespace {

using std::chrono::milliseconds;

// The loop wakes at least this often even with nothing to do.
constexpr milliseconds kIdleWake{1000};

// A large fleet holds several descriptors per device, and a writer in the
// same process (a benchmark, a test) opens its own: raise the soft limit as
// far as the hard one allows, when it is below what the fleet needs.
void EnsureDescriptors(size_t devices) {
  RaiseOpenFileLimit(devices * 4 + kMaxInfoConnections + 256);
}

struct Worker {
  std::thread thread;
  std::shared_ptr<std::atomic<bool>> done;
};

// Threads that Stop joins: the transfers, and only while the simulator runs.
class Workers {
 public:
  void Open() {
    std::lock_guard lock(mutex_);
    accepting_ = true;
  }
  void Start(std::function<void(const StopSignal&)> work, const StopSignal& stop);
  // Takes no more work and joins every thread.
  void CloseAndJoin();

 private:
  std::mutex mutex_;
  std::list<Worker> workers_;
  bool accepting_ = false;
};

void Workers::Start(std::function<void(const StopSignal&)> work, const StopSignal& stop) {
  std::lock_guard lock(mutex_);
  if (!accepting_) return;
  // Join the workers that are done, so a long run does not pile up threads.
  for (auto it = workers_.begin(); it != workers_.end();) {
    if (it->done->load()) {
      it->thread.join();
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
  auto done = std::make_shared<std::atomic<bool>>(false);
  const StopSignal* signal = &stop;
  workers_.push_back(Worker{std::thread([work = std::move(work), done, signal] {
                              work(*signal);
                              done->store(true);
                            }),
                            done});
}

void Workers::CloseAndJoin() {
  std::list<Worker> workers;
  {
    std::lock_guard lock(mutex_);
    accepting_ = false;
    workers.swap(workers_);
  }
  for (Worker& worker : workers) worker.thread.join();
}

// The services and what they share; made by Start, owned by the loop thread.
struct Services {
  Services(const std::vector<DeviceConfig>& devices, Observations& observations, bool loopbackOnly,
           TransferHost& host)
      : fleet(devices, observations, loopbackOnly),
        discovery(fleet),
        update(fleet, host),
        info(fleet) {}

  int Bind(const Ports& ports) {
    if (const int error = discovery.Bind(ports.discovery)) return error;
    if (const int error = fleet.Bind(ports.update)) return error;
    if (const int error = update.Bind()) return error;
    return info.Bind(ports.query);
  }

  Fleet fleet;
  DiscoveryService discovery;
  UpdateService update;
  InfoService info;
};

void RunLoop(Services& services, const StopSignal& stop) {
  Service* const all[] = {&services.discovery, &services.update, &services.info};
  std::vector<const Socket*> sockets;
  std::vector<bool> readable;
  size_t first[std::size(all) + 1] = {};  // each service's sockets start here
  for (;;) {
    Clock::time_point now = Clock::now();
    Clock::time_point wake = now + kIdleWake;
    sockets.clear();
    for (size_t s = 0; s < std::size(all); ++s) {
      all[s]->RunDue(now);
      first[s] = sockets.size();
      all[s]->Watch(sockets, now);
      wake = std::min(wake, all[s]->NextWake(now));
    }
    first[std::size(all)] = sockets.size();

    const auto wait = std::chrono::ceil<milliseconds>(wake - now);
    const int waited = ErrorNumber(WaitAnyReadable(
        sockets, readable, static_cast<int>(std::max<long long>(0, wait.count())), &stop));
    if (waited == errors::kCanceled) return;
    if (waited == errors::kTimedOut) continue;
    if (waited != 0) {
      if (!stop.SleepFor(10)) return;  // out of resources: try again shortly
      continue;
    }

    now = Clock::now();
    for (size_t s = 0; s < std::size(all); ++s)
      for (size_t k = first[s]; k < first[s + 1]; ++k)
        if (readable[k]) all[s]->OnReadable(k - first[s], now);
  }
}

}  // namespace

struct Simulator::Impl final : TransferHost {
  Impl(std::vector<DeviceConfig> configs, Ports p, bool loopback)
      : devices(std::move(configs)), ports(p), loopbackOnly(loopback), observations(devices) {}

  const std::vector<DeviceConfig> devices;
  const Ports ports;
  const bool loopbackOnly;
  Observations observations;

  // Running state; touched only by Start and Stop.
  std::unique_ptr<StopSignal> stop;
  std::thread loop;
  Workers workers;

  // TransferHost
  void Finished(size_t device, UpdateSession session) override {
    observations.Finished(device, std::move(session));
  }
  void StrangerServed() override { observations.StrangerServed(); }
  void StartWorker(std::function<void(const StopSignal&)> work) override {
    workers.Start(std::move(work), *stop);
  }
};

Simulator::Simulator(std::vector<DeviceConfig> devices, Ports ports, bool loopbackOnly)
    : impl_(std::make_unique<Impl>(std::move(devices), ports, loopbackOnly)) {}

Simulator::~Simulator() {
  Stop();
}

void Simulator::SetReport(std::function<void(const std::string&)> report) {
  impl_->observations.report = std::move(report);
}

void Simulator::OnSession(
    std::function<void(size_t device, const UpdateSession& session)> observer) {
  impl_->observations.sessionObserver = std::move(observer);
}

int Simulator::Start() {
  if (impl_->loop.joinable()) return errors::kAlready;
  EnsureDescriptors(impl_->devices.size());
  auto services =
      std::make_unique<Services>(impl_->devices, impl_->observations, impl_->loopbackOnly, *impl_);
  if (const int error = services->Bind(impl_->ports)) return error;
  auto stop = std::make_unique<StopSignal>();
  if (!stop->valid()) return errors::kTooManyFiles;
  impl_->stop = std::move(stop);
  impl_->workers.Open();
  impl_->loop = std::thread(
      [services = std::move(services), stop = impl_->stop.get()] { RunLoop(*services, *stop); });
  return 0;
}

void Simulator::Stop() {
  if (!impl_->loop.joinable()) return;
  impl_->stop->Trigger();
  impl_->loop.join();
  impl_->workers.CloseAndJoin();
  impl_->stop.reset();
}

int Simulator::DiscoveryRequests() const {
  return impl_->observations.DiscoveryRequests();
}

int Simulator::Invitations(size_t device) const {
  return impl_->observations.Invitations(device);
}

std::vector<UpdateSession> Simulator::Sessions(size_t device) const {
  return impl_->observations.Sessions(device);
}

int Simulator::StrangerConnections() const {
  return impl_->observations.StrangerConnections();
}

bool Simulator::WaitForSessions(size_t device, size_t count, int timeoutMs) const {
  return impl_->observations.WaitForSessions(device, count, timeoutMs);
}

bool Simulator::WaitForInfoAnswersTaken(size_t device, int count, int timeoutMs) const {
  return impl_->observations.WaitForInfoAnswersTaken(device, count, timeoutMs);
}

}  // namespace kesto::sim
