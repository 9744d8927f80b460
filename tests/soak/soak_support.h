#pragma once

// Helpers of the soak and file-fault tests: what the process holds and a
// watchdog that ends a run gone past its bound; image files and runs of the
// core come from the shared support headers under their soak names.

#include <dirent.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/stop_signal.h"
#include "support/temp_files.h"
#include "support/write_run.h"

namespace kesto::testing {

using SoakClock = std::chrono::steady_clock;

// Entries of a /proc folder, without "." and "..".
inline size_t CountEntries(const char* folder) {
  DIR* dir = opendir(folder);
  if (!dir) return 0;
  size_t count = 0;
  while (const dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') ++count;
  closedir(dir);
  return count;  // the folder's own descriptor is counted every time alike
}

struct ProcessCounts {
  size_t descriptors = 0;
  size_t threads = 0;
  bool operator==(const ProcessCounts&) const = default;
};

inline ProcessCounts CurrentCounts() {
  return {CountEntries("/proc/self/fd"), CountEntries("/proc/self/task")};
}

// Triggers stop when the bound passes before Done(); the run it watches then
// ends early (errors::kCanceled or the devices recorded so far) and Expired() says so.
class Watchdog {
 public:
  Watchdog(StopSignal& stop, std::chrono::milliseconds bound)
      : thread_([this, &stop, bound] {
          std::unique_lock lock(mutex_);
          if (!changed_.wait_for(lock, bound, [this] { return done_; })) {
            expired_ = true;
            stop.Trigger();
          }
        }) {}
  ~Watchdog() { Done(); }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  // Stops watching; true when the bound had passed.
  bool Done() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
    return expired_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool done_ = false;
  bool expired_ = false;
  std::thread thread_;
};

using ScratchDir = TempDir;
using RunOutcome = Outcome;

inline std::string ImageBytes(size_t size, uint32_t seed) {
  return PatternBytes(size, seed);
}

inline RunOutcome Write(const UpdateRequest& request, const UpdateLimits& limits,
                        const StopSignal* stop = nullptr,
                        const std::function<void(std::string_view)>& onLog = {}) {
  return RunWrite(request, limits, stop, onLog);
}

}  // namespace kesto::testing
