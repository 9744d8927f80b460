#pragma once

// Several writes at once: a bounded set of worker slots, and what the operator
// sees of them while they run.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace kesto {
class StopSignal;
}

namespace kesto::cli {

// Runs job(index, slot) for every index below count, in order of index, on
// at most `slots` threads (fewer when there are fewer jobs). slot is the
// thread's own number, 0-based, so that a job can use what belongs to its
// slot (a listener port). Once stop fires no further job begins; the indexes
// left out never reach job. Returns when every job that began has ended.
void RunInSlots(size_t count, int slots, const StopSignal& stop,
                const std::function<void(size_t index, int slot)>& job);

// The running writes on standard error, safe to call from any worker. On a
// terminal, one line per running device redrawn in place (address, phase,
// percentage, rate, time left); elsewhere whole lines, each beginning with
// the device's address: progress every ten percent. With verbose, each
// device's log instead, line by line, with its address in front.
class FleetDisplay {
 public:
  struct Settings {
    bool terminal = false;
    bool verbose = false;
    uint64_t imageBytes = 0;
  };
  explicit FleetDisplay(const Settings& settings) : settings_(settings) {}
  ~FleetDisplay();
  FleetDisplay(const FleetDisplay&) = delete;
  FleetDisplay& operator=(const FleetDisplay&) = delete;

  void Begin(size_t device, const std::string& address);
  void Phase(size_t device, std::string_view phase);
  void Progress(size_t device, int percent);
  void Log(size_t device, std::string_view piece);
  // Takes the device's line away and runs report (its result on standard
  // output) while no running line is on the screen, so that results stack
  // up above the running lines and never cut into them.
  void End(size_t device, const std::function<void()>& report);
  // Runs print with the running lines out of the way.
  void Print(const std::function<void()>& print);

 private:
  using Clock = std::chrono::steady_clock;
  struct Running {
    std::string address;
    std::string phase;
    int percent = -1;
    int lastLine = -10;  // off a terminal: the percentage last printed
    Clock::time_point transferStart{};
    std::string logLine;  // verbose: the log's unfinished line
  };

  bool Live() const { return settings_.terminal && !settings_.verbose; }
  void Clear();
  void Draw();
  void DrawSoon();
  std::string LineOf(const Running& running) const;
  void FlushLog(Running& running, bool whole);

  const Settings settings_;
  std::mutex mutex_;
  std::map<size_t, Running> running_;  // by device, so the lines keep the order given
  size_t drawn_ = 0;                   // running lines now on the screen
  Clock::time_point lastDraw_{};
};

}  // namespace kesto::cli
