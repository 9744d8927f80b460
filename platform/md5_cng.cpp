// MD5 from Windows' CNG (bcrypt).

#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <algorithm>
#include <new>

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

Md5Hasher::Md5Hasher() {
  std::unique_ptr<State> state(new (std::nothrow) State);
  if (!state) return;
  if (!BCRYPT_SUCCESS(
          BCryptOpenAlgorithmProvider(&state->algorithm, BCRYPT_MD5_ALGORITHM, nullptr, 0)) ||
      !BCRYPT_SUCCESS(BCryptCreateHash(state->algorithm, &state->hash, nullptr, 0, nullptr, 0, 0)))
    return;
  state_ = std::move(state);
}

Md5Hasher::~Md5Hasher() = default;

bool Md5Hasher::Add(const void* data, std::size_t size) {
  if (!state_) return false;
  auto* bytes = static_cast<UCHAR*>(const_cast<void*>(data));
  // BCryptHashData takes at most a ULONG at a time.
  while (size > 0) {
    const ULONG piece = static_cast<ULONG>(std::min<std::size_t>(size, 0x40000000u));
    if (!BCRYPT_SUCCESS(BCryptHashData(state_->hash, bytes, piece, 0))) return false;
    bytes += piece;
    size -= piece;
  }
  return true;
}

bool Md5Hasher::Finish(Digest& digest) {
  if (!state_) return false;
  Digest value{};
  if (!BCRYPT_SUCCESS(
          BCryptFinishHash(state_->hash, value.data(), static_cast<ULONG>(value.size()), 0)))
    return false;
  digest = value;
  return true;
}

}  // namespace kesto
