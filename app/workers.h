#pragma once

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "discovery/device_table.h"
#include "discovery/discovery.h"
#include "platform/stop_signal.h"
#include "update/update_run.h"

namespace kesto::app {

// Starts body on a new thread: 0, or the errno why no thread could be made.
using ThreadStarter = std::function<int(std::thread& thread, std::function<void()> body)>;
int StartThread(std::thread& thread, std::function<void()> body);

// One run of a worker on a thread of its own, with its own stop signal (a
// signal fires once, so every run gets a new WorkerThread). Destroying it
// stops the run and joins the thread.
class WorkerThread {
 public:
  WorkerThread() = default;
  ~WorkerThread() { Stop(); }
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // body receives the stop signal to hand to every network wait.
  int Start(const ThreadStarter& starter, std::function<void(const StopSignal&)> body);
  // Fires the stop signal: every wait of the core ends with ECANCELED, so the
  // join that follows is short.
  void Stop();
  // Joins a run that has finished its work (its last act was to report).
  void Join();

 private:
  StopSignal stop_;
  std::thread thread_;
};

// What a search run hands back to the window in one piece: the device table,
// the number found (or why the search failed) and the list entries of its
// slots 0..count-1.
struct SearchOutcome {
  DeviceTable table;
  Result<int> count = 0;
  std::vector<std::string> entries;
};

// The body of a search run: the discovery into table (the window's table as it
// was at the click, so slots are reused as before), then one list entry per
// device, the signal-strength queries included; options.phase hears of each
// phase (kListing before the entries). Everything is read before the
// window sees any of it, so the window stays busy until the last entry.
SearchOutcome SearchWorker(DeviceTable table, const DiscoveryOptions& options);

// The body of a write: the update run, whose outcome the caller hands to
// the window's thread together with the run's end.
WriteOutcome UpdateWorker(const UpdateRequest& request, const UpdateLimits& limits,
                          const UpdateHooks& hooks);

}  // namespace kesto::app
