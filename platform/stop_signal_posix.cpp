#include "platform/stop_signal.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace kesto {

StopSignal::StopSignal() : handle_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

StopSignal::~StopSignal() {
  if (handle_ >= 0) close(handle_);
}

void StopSignal::Trigger() {
  if (handle_ < 0) return;
  const std::uint64_t one = 1;
  // Never read back, so the descriptor stays readable for good.
  [[maybe_unused]] ssize_t written = write(handle_, &one, sizeof one);
}

bool StopSignal::Triggered() const {
  if (handle_ < 0) return false;
  pollfd p{handle_, POLLIN, 0};
  return poll(&p, 1, 0) > 0;
}

}  // namespace kesto
