// The SHA-256 of a file from Windows' CNG (bcrypt).

#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <array>
#include <memory>

#include "platform/crypto_errors.h"
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

Result<std::string> FileSha256(const std::string& path) {
  Result<OwnedFile> file = OpenFileForReading(path);
  if (!file) return Failure(file.error());
  Provider provider;
  NTSTATUS status =
      BCryptOpenAlgorithmProvider(&provider.algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
  if (BCRYPT_SUCCESS(status))
    status = BCryptCreateHash(provider.algorithm, &provider.hash, nullptr, 0, nullptr, 0, 0);
  if (!BCRYPT_SUCCESS(status)) return Failure(CryptoError(status));
  std::array<UCHAR, 65536> buffer{};
  for (;;) {
    const Result<size_t> read = ReadFromFile(file->get(), buffer.data(), buffer.size());
    if (!read) return Failure(read.error());
    if (*read == 0) break;
    status = BCryptHashData(provider.hash, buffer.data(), static_cast<ULONG>(*read), 0);
    if (!BCRYPT_SUCCESS(status)) return Failure(CryptoError(status));
  }
  std::array<UCHAR, 32> digest{};
  status = BCryptFinishHash(provider.hash, digest.data(), static_cast<ULONG>(digest.size()), 0);
  if (!BCRYPT_SUCCESS(status)) return Failure(CryptoError(status));
  std::string text;
  for (const UCHAR byte : digest) text += Format("%02x", byte);
  return text;
}

}  // namespace kesto
