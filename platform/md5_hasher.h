#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/errors.h"

namespace kesto {

// MD5 through the system's crypto provider: OpenSSL on Linux, CNG on Windows.
// Its failures are the provider's numbers (CryptoCategory()).
class Md5Hasher {
 public:
  using Digest = std::array<std::uint8_t, 16>;

  // A hasher, or why the provider gave no hash object.
  [[nodiscard]] static Result<Md5Hasher> Create();

  ~Md5Hasher();
  Md5Hasher(Md5Hasher&&) noexcept;
  Md5Hasher& operator=(Md5Hasher&&) noexcept;

  // Not for a hasher that was moved from.
  [[nodiscard]] Result<void> Add(const void* data, std::size_t size);
  // The digest of everything added. One Finish per hasher.
  [[nodiscard]] Result<Digest> Finish();

 private:
  struct State;
  explicit Md5Hasher(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace kesto
