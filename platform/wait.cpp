#include "platform/wait.h"

#include <algorithm>

#include "platform/deadline.h"
#include "platform/errors.h"
#include "platform/stop_signal.h"

namespace kesto {

int WaitForAny(std::span<WaitItem> items, int timeoutMs, const StopSignal* stop) {
  const Deadline deadline = Deadline::After(timeoutMs);
  const NativeSocket stopHandle = stop && stop->valid() ? stop->Descriptor() : kNoSocket;
  for (;;) {
    for (WaitItem& item : items) item.ready = false;
    bool stopped = false;
    const int error = PollOnce(items, stopHandle, deadline.MillisecondsLeft(), stopped);
    if (error != 0 && error != errors::kInterrupted) return error;
    if (stopped) return errors::kCanceled;
    if (std::any_of(items.begin(), items.end(), [](const WaitItem& i) { return i.ready; }))
      return 0;
    // Also after an early return of the system's wait (a signal, a rounded limit).
    if (deadline.Passed()) return errors::kTimedOut;
  }
}

bool StopSignal::SleepFor(int ms) const {
  return WaitForAny({}, ms, this) != errors::kCanceled;
}

}  // namespace kesto
