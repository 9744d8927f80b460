#pragma once

#include <cstdint>

namespace kesto {

// How a write ended. The first five carry the window's result codes 0..4.
enum class WriteResult : int32_t {
  kSuccess = 0,
  kDeviceError = 1,    // no or bad answer, refused authentication, refused image
  kFileError = 2,      // image cannot be examined, opened or read, or is empty
  kInternalError = 3,  // digest cannot be computed
  kNoConnection = 4,   // device did not connect back in time
  kNetworkError,       // a socket call failed: see systemError
  kCancelled,          // stopped by the operator; the device keeps its old firmware
};

// A write's outcome: what kind of end, and the system's error number behind a
// network error (or behind a file error, where the system gave one). The two
// never share one integer, so a system error 1..4 is never taken for a code.
struct WriteOutcome {
  WriteResult result = WriteResult::kSuccess;
  int systemError = 0;

  bool succeeded() const { return result == WriteResult::kSuccess; }
  friend bool operator==(const WriteOutcome&, const WriteOutcome&) = default;
};

// The outcome of a failed socket call: a stop's error is a cancellation.
WriteOutcome NetworkFailure(int error);

}  // namespace kesto
