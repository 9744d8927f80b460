#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/errors.h"
#include "platform/md5_hasher.h"

namespace kesto {

using Md5Digest = std::array<uint8_t, 16>;

inline constexpr size_t kMd5ReadBufferSize = 4 * 1024 * 1024;

// MD5 of a whole file, read in pieces of at most min(pieceLength, 4 MiB) into
// one buffer. Fails with the system's reason (FileCategory()) when the file
// cannot be opened or read, with the provider's when the digest cannot be
// computed, and with a generic code when the file is empty or a read fails
// without the system naming a cause.
[[nodiscard]] Result<Md5Digest> FileMd5(const std::string& path, size_t pieceLength);

// MD5 of size bytes, or the provider's failure.
[[nodiscard]] Result<Md5Digest> StringMd5(const void* data, size_t size);

// A digest over bytes given piece by piece (the image as it is sent).
class Md5Stream {
 public:
  Md5Stream();

  // Why no digest can be made, if none can; Add and Finish then fail the same way.
  [[nodiscard]] Result<void> Ready() const;
  [[nodiscard]] Result<void> Add(const void* data, size_t size);
  // The digest of everything added.
  [[nodiscard]] Result<Md5Digest> Finish();

 private:
  Result<Md5Hasher> hasher_;
};

// 32 lowercase hexadecimal digits.
std::string DigestText(const Md5Digest& digest);

}  // namespace kesto
