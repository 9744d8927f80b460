#include <openssl/evp.h>

#include <new>

#include "platform/md5_hasher.h"

namespace kesto {

struct Md5Hasher::State {
  ~State() { EVP_MD_CTX_free(context); }
  EVP_MD_CTX* context = nullptr;
};

Md5Hasher::Md5Hasher() {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  if (!context) return;
  if (EVP_DigestInit_ex(context, EVP_md5(), nullptr) != 1) {
    EVP_MD_CTX_free(context);
    return;
  }
  state_.reset(new (std::nothrow) State{context});
  if (!state_) EVP_MD_CTX_free(context);
}

Md5Hasher::~Md5Hasher() = default;

bool Md5Hasher::Add(const void* data, std::size_t size) {
  return state_ && EVP_DigestUpdate(state_->context, data, size) == 1;
}

bool Md5Hasher::Finish(Digest& digest) {
  if (!state_) return false;
  Digest value{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(state_->context, value.data(), &length) != 1 || length != value.size())
    return false;
  digest = value;
  return true;
}

}  // namespace kesto
