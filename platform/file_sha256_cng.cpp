// The SHA-256 of a file from Windows' CNG (bcrypt).

#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <array>
#include <memory>

#include "platform/files.h"
#include "platform/format.h"
#include "platform/sha256.h"

namespace kesto {
namespace {

struct Provider {
  ~Provider() {
    if (hash) BCryptDestroyHash(hash);
    if (algorithm) BCryptCloseAlgorithmProvider(algorithm, 0);
  }
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
};

}  // namespace

std::optional<std::string> FileSha256(const std::string& path) {
  Provider provider;
  const OwnedFile file = OpenFileForReading(path).value_or(nullptr);
  if (!file ||
      !BCRYPT_SUCCESS(
          BCryptOpenAlgorithmProvider(&provider.algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
      !BCRYPT_SUCCESS(
          BCryptCreateHash(provider.algorithm, &provider.hash, nullptr, 0, nullptr, 0, 0)))
    return std::nullopt;
  std::array<UCHAR, 65536> buffer{};
  while (const size_t read = std::fread(buffer.data(), 1, buffer.size(), file.get()))
    if (!BCRYPT_SUCCESS(BCryptHashData(provider.hash, buffer.data(), static_cast<ULONG>(read), 0)))
      return std::nullopt;
  std::array<UCHAR, 32> digest{};
  if (std::ferror(file.get()) ||
      !BCRYPT_SUCCESS(
          BCryptFinishHash(provider.hash, digest.data(), static_cast<ULONG>(digest.size()), 0)))
    return std::nullopt;
  std::string text;
  for (const UCHAR byte : digest) text += Format("%02x", byte);
  return text;
}

}  // namespace kesto
