#pragma once

// Helpers of the soak and file-fault tests: what the process holds, a watchdog
// that ends a run gone past its bound, image files, and runs of the core with
// everything they left behind.

#include <dirent.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/stop_signal.h"
#include "update/update_run.h"

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
// ends early (ECANCELED or the devices recorded so far) and Expired() says so.
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

// A private folder for one test's files, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kesto-soak-XXXXXX").string();
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string PathOf(const std::string& name) const { return (path_ / name).string(); }

  std::string Write(const std::string& name, std::string_view bytes) const {
    const std::string file = PathOf(name);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return file;
  }

 private:
  std::filesystem::path path_;
};

// Bytes that differ from chunk to chunk, so a lost or repeated chunk shows.
inline std::string ImageBytes(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  uint32_t state = seed * 2654435761u + 7;
  for (char& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<char>(state >> 24);
  }
  return bytes;
}

// What one RunUpdate left behind.
struct WriteOutcome {
  int32_t code = -1;
  std::vector<std::string> pieces;
  std::chrono::milliseconds took{0};

  std::string Log() const {
    std::string text;
    for (const std::string& piece : pieces) text += piece;
    return text;
  }
  bool Logged(std::string_view piece) const {
    for (const std::string& p : pieces)
      if (p == piece) return true;
    return false;
  }
};

inline WriteOutcome Write(const UpdateRequest& request, const UpdateLimits& limits,
                          const StopSignal* stop = nullptr,
                          const std::function<void(std::string_view)>& onLog = {}) {
  WriteOutcome outcome;
  UpdateHooks hooks;
  hooks.log = [&](std::string_view piece) {
    outcome.pieces.emplace_back(piece);
    if (onLog) onLog(piece);
  };
  hooks.stop = stop;
  const auto start = SoakClock::now();
  outcome.code = RunUpdate(request, hooks, limits);
  outcome.took = std::chrono::duration_cast<std::chrono::milliseconds>(SoakClock::now() - start);
  return outcome;
}

}  // namespace kesto::testing
