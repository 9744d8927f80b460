#include <openssl/evp.h>

#include <array>
#include <memory>

#include "platform/crypto_errors.h"
#include "platform/files.h"
#include "platform/format.h"
#include "platform/sha256.h"

namespace kesto {

Result<std::string> FileSha256(const std::string& path) {
  Result<OwnedFile> file = OpenFileForReading(path);
  if (!file) return Failure(file.error());
  const std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(),
                                                                   &EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
    return Failure(LastCryptoError());
  std::array<unsigned char, 65536> buffer{};
  for (;;) {
    const Result<size_t> read = ReadFromFile(file->get(), buffer.data(), buffer.size());
    if (!read) return Failure(read.error());
    if (*read == 0) break;
    if (EVP_DigestUpdate(context.get(), buffer.data(), *read) != 1)
      return Failure(LastCryptoError());
  }
  std::array<unsigned char, 32> digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1 || length != digest.size())
    return Failure(LastCryptoError());
  std::string text;
  for (const unsigned char byte : digest) text += Format("%02x", byte);
  return text;
}

}  // namespace kesto
