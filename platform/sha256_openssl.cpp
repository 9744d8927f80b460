#include <openssl/evp.h>

#include <climits>

#include "platform/sha256.h"

namespace kesto {

bool Sha256(const void* data, std::size_t size, Sha256Digest& digest) {
  Sha256Digest value{};
  unsigned int length = 0;
  if (EVP_Digest(data, size, value.data(), &length, EVP_sha256(), nullptr) != 1 ||
      length != value.size())
    return false;
  digest = value;
  return true;
}

bool Pbkdf2HmacSha256(std::string_view password, std::string_view salt, unsigned iterations,
                      Sha256Digest& key) {
  if (iterations == 0 || iterations > INT_MAX || password.size() > INT_MAX || salt.size() > INT_MAX)
    return false;
  Sha256Digest value{};
  if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                        reinterpret_cast<const unsigned char*>(salt.data()),
                        static_cast<int>(salt.size()), static_cast<int>(iterations), EVP_sha256(),
                        static_cast<int>(value.size()), value.data()) != 1)
    return false;
  key = value;
  return true;
}

}  // namespace kesto
