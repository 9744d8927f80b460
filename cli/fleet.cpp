#include "cli/fleet.h"

#include <algorithm>
#include <atomic>
#include <iostream>
#include <system_error>
#include <thread>
#include <vector>

#include "cli/output.h"
#include "platform/format.h"
#include "platform/stop_signal.h"

namespace kesto::cli {
namespace {

// A terminal redraws the running lines at most this often for progress alone.
constexpr auto kRedrawPeriod = std::chrono::milliseconds(100);

}  // namespace

void RunInSlots(size_t count, int slots, const StopSignal& stop,
                const std::function<void(size_t index, int slot)>& job) {
  std::atomic<size_t> next{0};
  const auto work = [&](int slot) {
    for (size_t index = 0; !stop.Triggered() && (index = next++) < count;) job(index, slot);
  };
  const size_t threads = std::min(count, static_cast<size_t>(std::max(slots, 1)));
  std::vector<std::jthread> workers;
  for (size_t slot = 0; threads > 1 && slot < threads; ++slot) {
    try {
      workers.emplace_back(work, static_cast<int>(slot));
    } catch (const std::system_error&) {
      break;  // the system gave fewer threads: the slots that started do the rest
    }
  }
  if (workers.empty()) work(0);
}

FleetDisplay::~FleetDisplay() {
  std::lock_guard lock(mutex_);
  Clear();
}

void FleetDisplay::Begin(size_t device, const std::string& address) {
  std::lock_guard lock(mutex_);
  Running& running = running_[device];
  running.address = address;
  running.phase = "starting";
  if (Live()) Draw();
}

void FleetDisplay::Phase(size_t device, std::string_view phase) {
  std::lock_guard lock(mutex_);
  running_[device].phase = phase;
  if (Live()) Draw();
}

void FleetDisplay::Progress(size_t device, int percent) {
  std::lock_guard lock(mutex_);
  Running& running = running_[device];
  if (percent == running.percent) return;
  if (running.percent < 0) running.transferStart = Clock::now();
  running.percent = percent;
  if (Live()) {
    DrawSoon();
  } else if (!settings_.verbose && (percent / 10 != running.lastLine / 10 || percent == 100)) {
    // A log file wants a few lines, not one per percent.
    running.lastLine = percent;
    std::cerr << running.address << ": progress " << percent << "%\n" << std::flush;
  }
}

void FleetDisplay::Log(size_t device, std::string_view piece) {
  if (!settings_.verbose) return;
  std::lock_guard lock(mutex_);
  Running& running = running_[device];
  running.logLine += piece;
  FlushLog(running, false);
}

void FleetDisplay::End(size_t device, const std::function<void()>& report) {
  std::lock_guard lock(mutex_);
  if (const auto it = running_.find(device); it != running_.end()) {
    FlushLog(it->second, true);
    running_.erase(it);
  }
  Clear();
  report();
  std::cout << std::flush;
  if (Live()) Draw();
}

void FleetDisplay::Print(const std::function<void()>& print) {
  std::lock_guard lock(mutex_);
  Clear();
  print();
  std::cout << std::flush;
  if (Live()) Draw();
}

// Each piece of the log goes out only as whole lines, so that two devices
// never share one.
void FleetDisplay::FlushLog(Running& running, bool whole) {
  if (whole && !running.logLine.empty() && running.logLine.back() != '\n') running.logLine += '\n';
  for (size_t end; (end = running.logLine.find('\n')) != std::string::npos;) {
    std::cerr << running.address << ": " << PrintableLog(running.logLine.substr(0, end)) << '\n';
    running.logLine.erase(0, end + 1);
  }
  std::cerr << std::flush;
}

void FleetDisplay::Clear() {
  if (drawn_ == 0) return;
  std::cerr << Format("\x1b[%dF\x1b[J", static_cast<int>(drawn_)) << std::flush;
  drawn_ = 0;
}

void FleetDisplay::Draw() {
  std::string text = drawn_ > 0 ? Format("\x1b[%dF", static_cast<int>(drawn_)) : "";
  for (const auto& [device, running] : running_) text += LineOf(running) + "\x1b[K\n";
  if (running_.size() < drawn_) text += "\x1b[J";
  std::cerr << text << std::flush;
  drawn_ = running_.size();
  lastDraw_ = Clock::now();
}

void FleetDisplay::DrawSoon() {
  if (Clock::now() - lastDraw_ >= kRedrawPeriod) Draw();
}

std::string FleetDisplay::LineOf(const Running& running) const {
  std::string line = Format("%-15s  %-18s", running.address.c_str(), running.phase.c_str());
  if (running.percent < 0) return line;
  const double total = static_cast<double>(settings_.imageBytes);
  const double bytes = total * running.percent / 100.0;
  const double seconds =
      std::chrono::duration<double>(Clock::now() - running.transferStart).count();
  const double rate = seconds > 0.05 ? bytes / seconds : 0.0;  // bytes per second
  line += Format(" %3d%%", running.percent);
  if (rate > 0) line += Format("  %7.1f KiB/s  %4.0f s left", rate / 1024, (total - bytes) / rate);
  return line;
}

}  // namespace kesto::cli
