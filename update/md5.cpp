#include "update/md5.h"

#include <openssl/evp.h>

#include <cstdio>
#include <memory>
#include <new>
#include <vector>

#include "update/image_file.h"

namespace kesto {
namespace {

struct ContextDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using Md5Context = std::unique_ptr<EVP_MD_CTX, ContextDeleter>;

Md5Context NewMd5Context() {
  Md5Context context(EVP_MD_CTX_new());
  if (context && EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1) context.reset();
  return context;
}

bool FinishDigest(EVP_MD_CTX* context, Md5Digest& digest) {
  Md5Digest value{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context, value.data(), &length) != 1 || length != value.size())
    return false;
  digest = value;
  return true;
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
  Md5Context context = NewMd5Context();
  if (!context) return false;
  const ImageFile file = OpenImageFile(path);
  if (!file) return false;
  bool anyPiece = false;
  for (;;) {
    const size_t read = std::fread(buffer.data(), 1, piece, file.get());
    if (read == 0) break;
    if (EVP_DigestUpdate(context.get(), buffer.data(), read) != 1) return false;
    anyPiece = true;
  }
  // A read error (a directory, a failing disk) must not pass for the end of the file.
  if (std::ferror(file.get()) || !anyPiece) return false;
  return FinishDigest(context.get(), digest);
}

bool StringMd5(const void* data, size_t size, Md5Digest& digest) {
  Md5Context context = NewMd5Context();
  if (!context) return false;
  if (EVP_DigestUpdate(context.get(), data, size) != 1) return false;
  return FinishDigest(context.get(), digest);
}

Md5Stream::Md5Stream() : context_(NewMd5Context().release()) {}

Md5Stream::~Md5Stream() {
  EVP_MD_CTX_free(context_);
}

bool Md5Stream::Add(const void* data, size_t size) {
  return context_ && EVP_DigestUpdate(context_, data, size) == 1;
}

bool Md5Stream::Finish(Md5Digest& digest) {
  return context_ && FinishDigest(context_, digest);
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
