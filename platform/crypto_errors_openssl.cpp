#include <openssl/err.h>

#include <array>
#include <string>

#include "platform/crypto_errors.h"

namespace kesto {
namespace {

class OpenSslNumbers : public std::error_category {
 public:
  const char* name() const noexcept override { return "openssl"; }
  std::string message(int number) const override {
    std::array<char, 256> text{};
    ERR_error_string_n(static_cast<unsigned long>(number), text.data(), text.size());
    return text.data();
  }
};

}  // namespace

const std::error_category& CryptoCategory() {
  static const OpenSslNumbers category;
  return category;
}

std::error_code LastCryptoError() {
  // OpenSSL's codes use 31 bits at most (library above reason), so they fit an int.
  const unsigned long number = ERR_peek_last_error();
  ERR_clear_error();
  return CryptoError(
      static_cast<int>(number != 0 ? number : ERR_PACK(ERR_LIB_EVP, 0, ERR_R_INTERNAL_ERROR)));
}

}  // namespace kesto
