// SHA-256 and PBKDF2 from Windows' CNG (bcrypt).

#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <climits>

#include "platform/crypto_errors.h"
#include "platform/sha256.h"

namespace kesto {
namespace {

class Provider {
 public:
  explicit Provider(ULONG flags)
      : status_(BCryptOpenAlgorithmProvider(&handle_, BCRYPT_SHA256_ALGORITHM, nullptr, flags)) {
    if (!BCRYPT_SUCCESS(status_)) handle_ = nullptr;
  }
  ~Provider() {
    if (handle_) BCryptCloseAlgorithmProvider(handle_, 0);
  }
  Provider(const Provider&) = delete;
  Provider& operator=(const Provider&) = delete;
  BCRYPT_ALG_HANDLE get() const { return handle_; }
  NTSTATUS status() const { return status_; }

 private:
  BCRYPT_ALG_HANDLE handle_ = nullptr;
  NTSTATUS status_;
};

// CNG takes its inputs as non-const byte pointers, though it only reads them.
PUCHAR Bytes(const void* data) {
  return static_cast<PUCHAR>(const_cast<void*>(data));
}

}  // namespace

Result<Sha256Digest> Sha256(const void* data, std::size_t size) {
  if (size > ULONG_MAX) return Failure(FileError(ERROR_INVALID_PARAMETER));
  const Provider provider(0);
  if (!provider.get()) return Failure(CryptoError(provider.status()));
  BCRYPT_HASH_HANDLE hash = nullptr;
  NTSTATUS status = BCryptCreateHash(provider.get(), &hash, nullptr, 0, nullptr, 0, 0);
  if (!BCRYPT_SUCCESS(status)) return Failure(CryptoError(status));
  Sha256Digest digest{};
  status = BCryptHashData(hash, Bytes(data), static_cast<ULONG>(size), 0);
  if (BCRYPT_SUCCESS(status))
    status = BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0);
  BCryptDestroyHash(hash);
  if (!BCRYPT_SUCCESS(status)) return Failure(CryptoError(status));
  return digest;
}

Result<Sha256Digest> Pbkdf2HmacSha256(std::string_view password, std::string_view salt,
                                      unsigned iterations) {
  if (iterations == 0 || password.size() > ULONG_MAX || salt.size() > ULONG_MAX)
    return Failure(FileError(ERROR_INVALID_PARAMETER));
  const Provider provider(BCRYPT_ALG_HANDLE_HMAC_FLAG);
  if (!provider.get()) return Failure(CryptoError(provider.status()));
  Sha256Digest key{};
  const NTSTATUS status = BCryptDeriveKeyPBKDF2(
      provider.get(), Bytes(password.data()), static_cast<ULONG>(password.size()),
      Bytes(salt.data()), static_cast<ULONG>(salt.size()), iterations, key.data(),
      static_cast<ULONG>(key.size()), 0);
  if (!BCRYPT_SUCCESS(status)) return Failure(CryptoError(status));
  return key;
}

}  // namespace kesto
