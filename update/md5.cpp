#include "update/md5.h"

#include <cstdio>
#include <memory>
#include <new>
#include <vector>

#include "platform/md5_hasher.h"
#include "update/image_file.h"

namespace kesto {
namespace {

// A hasher whose provider failed counts as none.
std::unique_ptr<Md5Hasher> NewHasher() {
  auto hasher = std::make_unique<Md5Hasher>();
  if (!hasher->valid()) hasher.reset();
  return hasher;
}

}  // namespace

bool FileMd5(const std::string& path, Md5Digest& digest, size_t pieceLength) {
  digest.fill(0);
  const size_t piece =
      pieceLength == 0 || pieceLength > kMd5ReadBufferSize ? kMd5ReadBufferSize : pieceLength;
  std::vector<unsigned char> buffer;
  try {
    buffer.resize(piece);
  } catch (const std::bad_alloc&) {
    return false;
  }
  Md5Hasher hasher;
  if (!hasher.valid()) return false;
  const ImageFile file = OpenImageFile(path);
  if (!file) return false;
  bool anyPiece = false;
  for (;;) {
    const size_t read = std::fread(buffer.data(), 1, piece, file.get());
    if (read == 0) break;
    if (!hasher.Add(buffer.data(), read)) return false;
    anyPiece = true;
  }
  // A read error (a directory, a failing disk) must not pass for the end of the file.
  if (std::ferror(file.get()) || !anyPiece) return false;
  return hasher.Finish(digest);
}

bool StringMd5(const void* data, size_t size, Md5Digest& digest) {
  Md5Hasher hasher;
  return hasher.Add(data, size) && hasher.Finish(digest);
}

Md5Stream::Md5Stream() : hasher_(NewHasher()) {}

Md5Stream::~Md5Stream() = default;

bool Md5Stream::valid() const {
  return hasher_ != nullptr;
}

bool Md5Stream::Add(const void* data, size_t size) {
  return hasher_ && hasher_->Add(data, size);
}

bool Md5Stream::Finish(Md5Digest& digest) {
  return hasher_ && hasher_->Finish(digest);
}

std::string DigestText(const Md5Digest& digest) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(32);
  for (const uint8_t byte : digest) {
    text.push_back(kHex[byte >> 4]);
    text.push_back(kHex[byte & 0x0f]);
  }
  return text;
}

}  // namespace kesto
