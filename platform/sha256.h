#pragma once

#include <optional>
#include <string>

namespace kesto {

// The SHA-256 of a file's bytes as 64 lowercase hexadecimal digits, through
// the system's crypto provider (OpenSSL on Linux, CNG on Windows); nullopt
// when the file cannot be read or the provider fails.
std::optional<std::string> FileSha256(const std::string& path);

}  // namespace kesto
