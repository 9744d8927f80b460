#include "platform/wait.h"

#include <algorithm>

#include "platform/deadline.h"
#include "platform/errors.h"
#include "platform/stop_signal.h"

namespace kesto {

Result<void> WaitForAny(std::span<WaitItem> items, int timeoutMs, const StopSignal* stop) {
  const Deadline deadline = Deadline::After(timeoutMs);
  const NativeSocket stopHandle = stop && stop->valid() ? stop->Descriptor() : kNoSocket;
  for (;;) {
    for (WaitItem& item : items) item.ready = false;
    const Result<bool> stopped = PollOnce(items, stopHandle, deadline.MillisecondsLeft());
    if (!stopped && stopped.error().value() != errors::kInterrupted)
      return Failure(stopped.error());
    if (stopped.value_or(false)) return Failure(SocketError(errors::kCanceled));
    if (std::any_of(items.begin(), items.end(), [](const WaitItem& i) { return i.ready; }))
      return {};
    // Also after an early return of the system's wait (a signal, a rounded limit).
    if (deadline.Passed()) return Failure(SocketError(errors::kTimedOut));
  }
}

bool StopSignal::SleepFor(int ms) const {
  return ErrorNumber(WaitForAny({}, ms, this)) != errors::kCanceled;
}

}  // namespace kesto
