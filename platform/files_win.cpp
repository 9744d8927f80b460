// Paths are UTF-8 everywhere in the program; Windows takes them as UTF-16.

#include <cstdio>

#include "platform/files.h"
#include "platform/winsock.h"

namespace kesto {

std::optional<std::int64_t> RegularFileSize(const std::string& path) {
  const std::wstring wide = WideFromUtf8(path);
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (wide.empty() || !GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data))
    return std::nullopt;
  if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE))
    return std::nullopt;
  return static_cast<std::int64_t>((std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow);
}

std::FILE* OpenFileForReading(const std::string& path) {
  // A Windows file never blocks its reader the way a POSIX FIFO can.
  const std::wstring wide = WideFromUtf8(path);
  return wide.empty() ? nullptr : _wfopen(wide.c_str(), L"rb");
}

std::string_view FileNameOf(std::string_view path) {
  const size_t separator = path.find_last_of("/\\");
  return separator == std::string_view::npos ? path : path.substr(separator + 1);
}

}  // namespace kesto
