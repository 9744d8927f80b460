#pragma once

namespace kesto {

// A one-shot "stop now" flag that a blocked network wait can sleep on.
// Every wait in the core polls this descriptor next to its socket, so closing
// the window (or Ctrl+C on the command line) ends a running search or write
// at once instead of after its time limits.
class StopSignal {
 public:
  StopSignal();
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  // Safe to call from any thread, any number of times.
  void Trigger();
  bool Triggered() const;
  // Readable once triggered; for poll().
  int Descriptor() const { return fd_; }

  // Sleeps up to ms milliseconds; returns false when the stop came first.
  bool SleepFor(int ms) const;

 private:
  int fd_ = -1;
};

}  // namespace kesto
