#pragma once

#include <cstdint>
#include <string>

namespace kesto {

// An image found fit for writing, examined once before the write: what the
// invitation announces. The write sends the file's bytes again and checks
// them against md5, so a file changed in between is not written.
struct PreparedImage {
  std::string path;
  std::int32_t bytes = 0;  // the protocol carries a signed 32-bit size
  std::string md5;         // 32 lowercase hexadecimal digits
};

}  // namespace kesto
