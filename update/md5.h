#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kesto {

class Md5Hasher;

using Md5Digest = std::array<uint8_t, 16>;

inline constexpr size_t kMd5ReadBufferSize = 4 * 1024 * 1024;

// MD5 of a whole file, read in pieces of at most min(pieceLength, 4 MiB) into
// one buffer. False when the file cannot be opened or read, is empty, or the
// digest cannot be computed; the digest is then all zero.
bool FileMd5(const std::string& path, Md5Digest& digest, size_t pieceLength);

// MD5 of size bytes. False when the digest cannot be computed.
bool StringMd5(const void* data, size_t size, Md5Digest& digest);

// A digest over bytes given piece by piece (the image as it is sent).
class Md5Stream {
 public:
  Md5Stream();
  ~Md5Stream();
  Md5Stream(const Md5Stream&) = delete;
  Md5Stream& operator=(const Md5Stream&) = delete;

  // False when no digest can be made; Add and Finish then fail too.
  bool valid() const;
  bool Add(const void* data, size_t size);
  // The digest of everything added; false when it cannot be computed.
  bool Finish(Md5Digest& digest);

 private:
  std::unique_ptr<Md5Hasher> hasher_;
};

// 32 lowercase hexadecimal digits.
std::string DigestText(const Md5Digest& digest);

}  // namespace kesto
