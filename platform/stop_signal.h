#pragma once

#include "platform/net_types.h"

namespace kesto {

// A one-shot "stop now" flag that a blocked network wait can sleep on.
// Every wait in the core polls this handle next to its socket, so closing
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
  // False when the system could not give the signal its handle.
  bool valid() const { return handle_ != kNoSocket; }
  // Readable once triggered; for the platform layer's waits.
  NativeSocket Descriptor() const { return handle_; }

  // Sleeps up to ms milliseconds; returns false when the stop came first.
  bool SleepFor(int ms) const;

 private:
  // An eventfd on Linux; on Windows a loopback UDP socket that sends itself
  // one datagram, since Winsock can wait on sockets only.
  NativeSocket handle_ = kNoSocket;
};

}  // namespace kesto
