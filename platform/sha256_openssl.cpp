#include <openssl/evp.h>

#include <climits>

#include "platform/crypto_errors.h"
#include "platform/sha256.h"

namespace kesto {

Result<Sha256Digest> Sha256(const void* data, std::size_t size) {
  Sha256Digest digest{};
  unsigned int length = 0;
  if (EVP_Digest(data, size, digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
      length != digest.size())
    return Failure(LastCryptoError());
  return digest;
}

Result<Sha256Digest> Pbkdf2HmacSha256(std::string_view password, std::string_view salt,
                                      unsigned iterations) {
  if (iterations == 0 || iterations > INT_MAX || password.size() > INT_MAX || salt.size() > INT_MAX)
    return Failure(FileError(errors::kInvalidArgument));
  Sha256Digest key{};
  if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                        reinterpret_cast<const unsigned char*>(salt.data()),
                        static_cast<int>(salt.size()), static_cast<int>(iterations), EVP_sha256(),
                        static_cast<int>(key.size()), key.data()) != 1)
    return Failure(LastCryptoError());
  return key;
}

}  // namespace kesto
