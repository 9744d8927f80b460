#pragma once

#include <cstdint>
#include <string>

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

// Which step failed, in the terms of the device, so that an operator can tell
// a refused password from a dead network. Set beside the result, whatever its code.
enum class WriteCause {
  kNone,
  kNoAnswer,         // the invitation went unanswered
  kBadAnswer,        // the answer was no word of the protocol
  kPasswordRefused,  // the device did not accept the password
  kNoAuthReply,      // the authentication went unanswered
  kTransferBroken,   // the device closed or stalled during the transfer
  kFinalWords,       // the device's own final words, e.g. "MD5 Check Failed"
  kImageRefused,     // words in place of an acknowledgement, e.g. "Wrong Magic Byte"
  kNeverConnected,   // the device accepted the invitation and never connected back
};

// A stable name for reports: "no-answer", "bad-answer", "password-refused",
// "no-auth-reply", "transfer-broken", "final-words", "image-refused",
// "never-connected"; empty for kNone.
const char* CauseName(WriteCause cause);

// How the device let the image in: without a password, with the MD5
// challenge, or with the SHA-256 one (holding SHA-256 of the password, or its
// MD5 after a second invitation). kUnknown: no answer got that far.
enum class Authentication { kUnknown, kNone, kMd5, kSha256, kSha256Md5 };

// "none", "md5", "sha256", "sha256-md5"; empty for kUnknown.
const char* AuthenticationName(Authentication authentication);

// A write's outcome: what kind of end, and the system's error number behind a
// network error (or behind a file error, where the system gave one). The two
// never share one integer, so a system error 1..4 is never taken for a code.
struct WriteOutcome {
  WriteOutcome() = default;
  WriteOutcome(WriteResult kind, int error) : result(kind), systemError(error) {}

  WriteResult result = WriteResult::kSuccess;
  int systemError = 0;
  WriteCause cause = WriteCause::kNone;
  Authentication authentication = Authentication::kUnknown;
  std::string deviceWords;  // the device's own words, for kBadAnswer/kFinalWords/kImageRefused

  bool succeeded() const { return result == WriteResult::kSuccess; }
  friend bool operator==(const WriteOutcome&, const WriteOutcome&) = default;
};

// The outcome of a failed socket call: a stop's error is a cancellation.
WriteOutcome NetworkFailure(int error);

}  // namespace kesto
