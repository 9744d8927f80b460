#include "update/result.h"

#include "platform/errors.h"

namespace kesto {

WriteOutcome NetworkFailure(int error) {
  if (error == errors::kCanceled) return {WriteResult::kCancelled, error};
  return {WriteResult::kNetworkError, error};
}

}  // namespace kesto
