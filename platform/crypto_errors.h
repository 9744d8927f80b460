#pragma once

#include <system_error>

#include "platform/errors.h"

namespace kesto {

// The crypto provider's own numbers: OpenSSL's packed error codes on Linux,
// CNG's NTSTATUS values on Windows. The category's message is the provider's
// words for its number.
const std::error_category& CryptoCategory();

[[nodiscard]] inline std::error_code CryptoError(int number) {
  return {number, CryptoCategory()};
}

// OpenSSL only: the failure its last call left in the thread's error queue
// (the queue is emptied), or a generic EVP failure when it left none.
[[nodiscard]] std::error_code LastCryptoError();

}  // namespace kesto
