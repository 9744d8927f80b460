#include "update/md5.h"

#include <new>
#include <vector>

#include "platform/files.h"
#include "update/image_file.h"

namespace kesto {

Result<Md5Digest> FileMd5(const std::string& path, size_t pieceLength) {
  const size_t piece =
      pieceLength == 0 || pieceLength > kMd5ReadBufferSize ? kMd5ReadBufferSize : pieceLength;
  std::vector<unsigned char> buffer;
  try {
    buffer.resize(piece);
  } catch (const std::bad_alloc&) {
    return Failure(FileError(errors::kNoMemory));
  }
  Result<Md5Hasher> hasher = Md5Hasher::Create();
  if (!hasher) return Failure(hasher.error());
  const Result<ImageFile> file = OpenImageFile(path);
  if (!file) return Failure(file.error());
  bool anyPiece = false;
  for (;;) {
    // A read error (a directory, a failing disk) must not pass for the end of the file.
    const Result<size_t> read = ReadFromFile(file->get(), buffer.data(), piece);
    if (!read) return Failure(read.error());
    if (*read == 0) break;
    if (Result<void> added = hasher->Add(buffer.data(), *read); !added)
      return Failure(added.error());
    anyPiece = true;
  }
  if (!anyPiece) return Failure(std::make_error_code(std::errc::no_message_available));
  return hasher->Finish();
}

Result<Md5Digest> StringMd5(const void* data, size_t size) {
  Result<Md5Hasher> hasher = Md5Hasher::Create();
  if (!hasher) return Failure(hasher.error());
  if (Result<void> added = hasher->Add(data, size); !added) return Failure(added.error());
  return hasher->Finish();
}

Md5Stream::Md5Stream() : hasher_(Md5Hasher::Create()) {}

Result<void> Md5Stream::Ready() const {
  if (!hasher_) return Failure(hasher_.error());
  return {};
}

Result<void> Md5Stream::Add(const void* data, size_t size) {
  if (!hasher_) return Failure(hasher_.error());
  return hasher_->Add(data, size);
}

Result<Md5Digest> Md5Stream::Finish() {
  if (!hasher_) return Failure(hasher_.error());
  return hasher_->Finish();
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
