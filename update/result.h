#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace kesto {

// Outcome of a write. Other values are errno values of the failed socket call.
inline constexpr int32_t kResultSuccess = 0;
inline constexpr int32_t kResultDeviceError = 1;    // no / bad answer, refused authentication
inline constexpr int32_t kResultFileError = 2;      // image cannot be examined, opened or read
inline constexpr int32_t kResultInternalError = 3;  // digest cannot be computed
inline constexpr int32_t kResultNoConnection = 4;   // device did not connect back in time

// The operator's message for a result code.
std::string ResultMessage(int32_t code);

// Hands a write's outcome from the worker to the thread that reports it: the
// worker stores the code, then clears busy (release); the reader sees busy
// cleared (acquire) before it reads the code.
class WriteHandover {
 public:
  void Start() {
    resultCode_.store(0, std::memory_order_relaxed);
    busy_.store(1, std::memory_order_release);
  }
  void Finish(int32_t code) {
    resultCode_.store(code, std::memory_order_relaxed);
    busy_.store(0, std::memory_order_release);
  }
  bool Busy() const { return busy_.load(std::memory_order_acquire) != 0; }
  // Valid once Busy() has returned false after a Start().
  int32_t ResultCode() const { return resultCode_.load(std::memory_order_relaxed); }

 private:
  std::atomic<int32_t> resultCode_{0};
  std::atomic<int32_t> busy_{0};
};

}  // namespace kesto
