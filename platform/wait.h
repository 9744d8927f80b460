#pragma once

#include <span>

#include "platform/errors.h"
#include "platform/net_types.h"

namespace kesto {

class StopSignal;

// What a wait is after on one socket.
enum class Readiness {
  kReadable,    // data, a connection to accept, the peer's close or an error
  kWritable,    // room to send, or a connect that has ended either way
  kPeerClosed,  // the peer's close or reset, without reading what is unread
};

struct WaitItem {
  NativeSocket handle = kNoSocket;  // kNoSocket entries are never ready
  Readiness want = Readiness::kReadable;
  bool ready = false;  // set by the wait
};

// The one wait of the tree: until an item is ready, the stop fires or timeoutMs
// passes. A signal that is not the stop never ends it early. Succeeds with the
// ready items marked; fails with errors::kTimedOut, errors::kCanceled or the
// error of the wait itself (socket category).
[[nodiscard]] Result<void> WaitForAny(std::span<WaitItem> items, int timeoutMs,
                                      const StopSignal* stop);

// The system call behind it, in the per-system files: one poll of items and
// of stop (kNoSocket: none) for at most ms. Whether the stop fired, or the
// system's error (errors::kInterrupted for a signal).
[[nodiscard]] Result<bool> PollOnce(std::span<WaitItem> items, NativeSocket stop, int ms);

}  // namespace kesto
