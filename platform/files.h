#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "platform/errors.h"

namespace kesto {

// What a path names. Only a regular file can be an image: a folder cannot be
// read, and a pipe or a device would hand out other bytes on every read.
enum class FileType { kRegular, kDirectory, kPipe, kOther };

struct FileStatus {
  FileType type = FileType::kOther;
  std::int64_t size = 0;  // of a regular file
};

// What path names, or why it cannot be examined (missing, no access): a
// FileCategory() code. Paths are UTF-8.
[[nodiscard]] Result<FileStatus> StatusOfFile(const std::string& path);

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using OwnedFile = std::unique_ptr<std::FILE, FileCloser>;

// Opens a file for reading in binary mode without ever blocking: a pipe put
// in a file's place gives a read error instead of waiting for a writer.
[[nodiscard]] Result<OwnedFile> OpenFileForReading(const std::string& path);

// Reads up to size bytes into buffer: how many, 0 at the end of the file. A
// read error fails with the system's number, or with a generic io_error when
// the system gave none.
[[nodiscard]] Result<std::size_t> ReadFromFile(std::FILE* file, void* buffer, std::size_t size);

// A path from UTF-8 text, whatever the system's own narrow encoding (on
// Windows, std::filesystem::path(std::string) would read the ANSI code page).
inline std::filesystem::path PathFromUtf8(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

// The last part of a path: after the last '/' (or '\\' on Windows).
std::string_view FileNameOf(std::string_view path);

}  // namespace kesto
