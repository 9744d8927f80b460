#include <openssl/evp.h>

#include <array>
#include <memory>

#include "platform/files.h"
#include "platform/format.h"
#include "platform/sha256.h"

namespace kesto {

std::optional<std::string> FileSha256(const std::string& path) {
  const std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(),
                                                                   &EVP_MD_CTX_free);
  const OwnedFile file = OpenFileForReading(path).value_or(nullptr);
  if (!context || !file || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
    return std::nullopt;
  std::array<unsigned char, 65536> buffer{};
  while (const size_t read = std::fread(buffer.data(), 1, buffer.size(), file.get()))
    if (EVP_DigestUpdate(context.get(), buffer.data(), read) != 1) return std::nullopt;
  std::array<unsigned char, 32> digest{};
  unsigned int length = 0;
  if (std::ferror(file.get()) || EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1 ||
      length != digest.size())
    return std::nullopt;
  std::string text;
  for (const unsigned char byte : digest) text += Format("%02x", byte);
  return text;
}

}  // namespace kesto
