#pragma once

#include <algorithm>
#include <chrono>
#include <limits>

namespace kesto {

// A point on the steady clock that bounds a whole exchange. Each single wait
// of the exchange keeps its own limit, but none reaches past the deadline, so
// a peer that drips one byte at a time cannot stretch the exchange.
class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  static Deadline After(int ms) {
    return Deadline(Clock::now() + std::chrono::milliseconds(std::max(ms, 0)));
  }

  bool Passed() const { return Clock::now() >= at_; }

  // Whole milliseconds left, rounded up so that a wait of the result does not
  // end before the deadline; 0 once it has passed.
  int MillisecondsLeft() const {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(at_ - Clock::now()).count();
    if (left <= 0) return 0;
    return static_cast<int>(std::min<long long>(left, std::numeric_limits<int>::max()));
  }

  // A single wait of at most ms that ends no later than the deadline.
  int Cap(int ms) const { return std::min(ms, MillisecondsLeft()); }

 private:
  explicit Deadline(Clock::time_point at) : at_(at) {}
  Clock::time_point at_;
};

}  // namespace kesto
