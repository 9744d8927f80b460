// SHA-256 and PBKDF2 from Windows' CNG (bcrypt).

#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <climits>

#include "platform/sha256.h"

namespace kesto {
namespace {

class Provider {
 public:
  explicit Provider(ULONG flags) {
    if (!BCRYPT_SUCCESS(
            BCryptOpenAlgorithmProvider(&handle_, BCRYPT_SHA256_ALGORITHM, nullptr, flags)))
      handle_ = nullptr;
  }
  ~Provider() {
    if (handle_) BCryptCloseAlgorithmProvider(handle_, 0);
  }
  Provider(const Provider&) = delete;
  Provider& operator=(const Provider&) = delete;
  BCRYPT_ALG_HANDLE get() const { return handle_; }

 private:
  BCRYPT_ALG_HANDLE handle_ = nullptr;
};

// CNG takes its inputs as non-const byte pointers, though it only reads them.
PUCHAR Bytes(const void* data) {
  return static_cast<PUCHAR>(const_cast<void*>(data));
}

}  // namespace

bool Sha256(const void* data, std::size_t size, Sha256Digest& digest) {
  if (size > ULONG_MAX) return false;
  const Provider provider(0);
  if (!provider.get()) return false;
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (!BCRYPT_SUCCESS(BCryptCreateHash(provider.get(), &hash, nullptr, 0, nullptr, 0, 0)))
    return false;
  Sha256Digest value{};
  const bool done =
      BCRYPT_SUCCESS(BCryptHashData(hash, Bytes(data), static_cast<ULONG>(size), 0)) &&
      BCRYPT_SUCCESS(BCryptFinishHash(hash, value.data(), static_cast<ULONG>(value.size()), 0));
  BCryptDestroyHash(hash);
  if (done) digest = value;
  return done;
}

bool Pbkdf2HmacSha256(std::string_view password, std::string_view salt, unsigned iterations,
                      Sha256Digest& key) {
  if (iterations == 0 || password.size() > ULONG_MAX || salt.size() > ULONG_MAX) return false;
  const Provider provider(BCRYPT_ALG_HANDLE_HMAC_FLAG);
  if (!provider.get()) return false;
  Sha256Digest value{};
  if (!BCRYPT_SUCCESS(BCryptDeriveKeyPBKDF2(provider.get(), Bytes(password.data()),
                                            static_cast<ULONG>(password.size()), Bytes(salt.data()),
                                            static_cast<ULONG>(salt.size()), iterations,
                                            value.data(), static_cast<ULONG>(value.size()), 0)))
    return false;
  key = value;
  return true;
}

}  // namespace kesto
