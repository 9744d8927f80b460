#include "platform/stop_signal.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace kesto {

StopSignal::StopSignal() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

StopSignal::~StopSignal() {
  if (fd_ >= 0) close(fd_);
}

void StopSignal::Trigger() {
  if (fd_ < 0) return;
  const std::uint64_t one = 1;
  // Never read back, so the descriptor stays readable for good.
  [[maybe_unused]] ssize_t written = write(fd_, &one, sizeof one);
}

bool StopSignal::Triggered() const {
  if (fd_ < 0) return false;
  pollfd p{fd_, POLLIN, 0};
  return poll(&p, 1, 0) > 0;
}

bool StopSignal::SleepFor(int ms) const {
  if (fd_ < 0) {
    usleep(static_cast<useconds_t>(ms) * 1000);
    return true;
  }
  pollfd p{fd_, POLLIN, 0};
  return poll(&p, 1, ms) == 0;
}

}  // namespace kesto
