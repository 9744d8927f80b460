// MD5 from Windows' CNG (bcrypt).

#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <algorithm>
#include <new>

#include "platform/crypto_errors.h"
#include "platform/md5_hasher.h"

namespace kesto {

struct Md5Hasher::State {
  ~State() {
    if (hash) BCryptDestroyHash(hash);
    if (algorithm) BCryptCloseAlgorithmProvider(algorithm, 0);
  }
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
};

Md5Hasher::Md5Hasher(std::unique_ptr<State> state) : state_(std::move(state)) {}
Md5Hasher::~Md5Hasher() = default;
Md5Hasher::Md5Hasher(Md5Hasher&&) noexcept = default;
Md5Hasher& Md5Hasher::operator=(Md5Hasher&&) noexcept = default;

Result<Md5Hasher> Md5Hasher::Create() {
  std::unique_ptr<State> state(new (std::nothrow) State);
  if (!state) return Failure(FileError(errors::kNoMemory));
  NTSTATUS status =
      BCryptOpenAlgorithmProvider(&state->algorithm, BCRYPT_MD5_ALGORITHM, nullptr, 0);
  if (BCRYPT_SUCCESS(status))
    status = BCryptCreateHash(state->algorithm, &state->hash, nullptr, 0, nullptr, 0, 0);
  if (!BCRYPT_SUCCESS(status)) return Failure(CryptoError(status));
  return Md5Hasher(std::move(state));
}

Result<void> Md5Hasher::Add(const void* data, std::size_t size) {
  auto* bytes = static_cast<UCHAR*>(const_cast<void*>(data));
  // BCryptHashData takes at most a ULONG at a time.
  while (size > 0) {
    const ULONG piece = static_cast<ULONG>(std::min<std::size_t>(size, 0x40000000u));
    const NTSTATUS status = BCryptHashData(state_->hash, bytes, piece, 0);
    if (!BCRYPT_SUCCESS(status)) return Failure(CryptoError(status));
    bytes += piece;
    size -= piece;
  }
  return {};
}

Result<Md5Hasher::Digest> Md5Hasher::Finish() {
  Digest digest{};
  const NTSTATUS status =
      BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0);
  if (!BCRYPT_SUCCESS(status)) return Failure(CryptoError(status));
  return digest;
}

}  // namespace kesto
