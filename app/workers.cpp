#include "app/workers.h"

#include <system_error>

#include "discovery/device_list.h"

namespace kesto::app {

int StartThread(std::thread& thread, std::function<void()> body) {
  try {
    thread = std::thread(std::move(body));
    return 0;
  } catch (const std::system_error& error) {
    return error.code().value();
  }
}

int WorkerThread::Start(const ThreadStarter& starter, std::function<void(const StopSignal&)> body) {
  return starter(thread_, [this, body = std::move(body)] { body(stop_); });
}

void WorkerThread::Stop() {
  stop_.Trigger();
  Join();
}

void WorkerThread::Join() {
  if (thread_.joinable()) thread_.join();
}

SearchOutcome SearchWorker(DeviceTable table, const DiscoveryOptions& options) {
  SearchOutcome outcome;
  outcome.count = DiscoverDevices(table, options);
  if (outcome.count.value_or(0) > 0) {
    ReportPhase(options, SearchPhase::kListing);
    outcome.entries = BuildDeviceList(table, *outcome.count, options.query);
  }
  outcome.table = std::move(table);
  return outcome;
}

WriteOutcome UpdateWorker(const UpdateRequest& request, const UpdateLimits& limits,
                          const UpdateHooks& hooks) {
  return RunUpdate(request, hooks, limits);
}

}  // namespace kesto::app
