#include "update/result.h"

#include "platform/errors.h"

namespace kesto {

const char* CauseName(WriteCause cause) {
  switch (cause) {
    case WriteCause::kNoAnswer:
      return "no-answer";
    case WriteCause::kBadAnswer:
      return "bad-answer";
    case WriteCause::kPasswordRefused:
      return "password-refused";
    case WriteCause::kNoAuthReply:
      return "no-auth-reply";
    case WriteCause::kTransferBroken:
      return "transfer-broken";
    case WriteCause::kFinalWords:
      return "final-words";
    case WriteCause::kImageRefused:
      return "image-refused";
    case WriteCause::kNeverConnected:
      return "never-connected";
    case WriteCause::kNone:
      break;
  }
  return "";
}

const char* AuthenticationName(Authentication authentication) {
  switch (authentication) {
    case Authentication::kNone:
      return "none";
    case Authentication::kMd5:
      return "md5";
    case Authentication::kSha256:
      return "sha256";
    case Authentication::kSha256Md5:
      return "sha256-md5";
    case Authentication::kUnknown:
      break;
  }
  return "";
}

WriteOutcome NetworkFailure(int error) {
  if (error == errors::kCanceled) return {WriteResult::kCancelled, error};
  return {WriteResult::kNetworkError, error};
}

}  // namespace kesto
