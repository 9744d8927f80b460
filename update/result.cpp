#include "update/result.h"

#include <cerrno>

namespace kesto {

WriteOutcome NetworkFailure(int error) {
  if (error == ECANCELED) return {WriteResult::kCancelled, error};
  return {WriteResult::kNetworkError, error};
}

}  // namespace kesto
