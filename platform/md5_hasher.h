#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace kesto {

// MD5 through the system's crypto provider: OpenSSL on Linux, CNG on Windows.
class Md5Hasher {
 public:
  using Digest = std::array<std::uint8_t, 16>;

  Md5Hasher();
  ~Md5Hasher();
  Md5Hasher(const Md5Hasher&) = delete;
  Md5Hasher& operator=(const Md5Hasher&) = delete;

  // False when the provider gave no hash object; Add and Finish then fail.
  bool valid() const { return state_ != nullptr; }
  bool Add(const void* data, std::size_t size);
  // The digest of everything added. One Finish per hasher.
  bool Finish(Digest& digest);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace kesto
