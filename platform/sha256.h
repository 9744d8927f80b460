#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kesto {

using Sha256Digest = std::array<std::uint8_t, 32>;

// SHA-256 through the system's crypto provider (OpenSSL on Linux, CNG on
// Windows). False when the provider gives no digest.
bool Sha256(const void* data, std::size_t size, Sha256Digest& digest);

// PBKDF2 with HMAC-SHA-256 (RFC 8018), a 32-byte key. False when the
// provider refuses (no memory, iterations below 1).
bool Pbkdf2HmacSha256(std::string_view password, std::string_view salt, unsigned iterations,
                      Sha256Digest& key);

// The SHA-256 of a file's bytes as 64 lowercase hexadecimal digits; nullopt
// when the file cannot be read or the provider fails.
std::optional<std::string> FileSha256(const std::string& path);

}  // namespace kesto
