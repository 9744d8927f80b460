#include <openssl/evp.h>

#include <new>

#include "platform/crypto_errors.h"
#include "platform/md5_hasher.h"

namespace kesto {

struct Md5Hasher::State {
  ~State() { EVP_MD_CTX_free(context); }
  EVP_MD_CTX* context = nullptr;
};

Md5Hasher::Md5Hasher(std::unique_ptr<State> state) : state_(std::move(state)) {}
Md5Hasher::~Md5Hasher() = default;
Md5Hasher::Md5Hasher(Md5Hasher&&) noexcept = default;
Md5Hasher& Md5Hasher::operator=(Md5Hasher&&) noexcept = default;

Result<Md5Hasher> Md5Hasher::Create() {
  std::unique_ptr<State> state(new (std::nothrow) State);
  if (!state) return Failure(FileError(errors::kNoMemory));
  state->context = EVP_MD_CTX_new();
  if (!state->context || EVP_DigestInit_ex(state->context, EVP_md5(), nullptr) != 1)
    return Failure(LastCryptoError());
  return Md5Hasher(std::move(state));
}

Result<void> Md5Hasher::Add(const void* data, std::size_t size) {
  if (EVP_DigestUpdate(state_->context, data, size) != 1) return Failure(LastCryptoError());
  return {};
}

Result<Md5Hasher::Digest> Md5Hasher::Finish() {
  Digest digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(state_->context, digest.data(), &length) != 1 || length != digest.size())
    return Failure(LastCryptoError());
  return digest;
}

}  // namespace kesto
