#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/errors.h"

namespace kesto {

using Sha256Digest = std::array<std::uint8_t, 32>;

// SHA-256 through the system's crypto provider (OpenSSL on Linux, CNG on
// Windows). A failure is the provider's number (CryptoCategory()).
[[nodiscard]] Result<Sha256Digest> Sha256(const void* data, std::size_t size);

// PBKDF2 with HMAC-SHA-256 (RFC 8018), a 32-byte key. Fails when the
// provider refuses (no memory), or with the system's invalid-argument number
// for iterations below 1 or inputs longer than the provider takes.
[[nodiscard]] Result<Sha256Digest> Pbkdf2HmacSha256(std::string_view password,
                                                    std::string_view salt, unsigned iterations);

// The SHA-256 of a file's bytes as 64 lowercase hexadecimal digits; why the
// file cannot be read (FileCategory()) or the provider's failure.
[[nodiscard]] Result<std::string> FileSha256(const std::string& path);

}  // namespace kesto
