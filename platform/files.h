#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kesto {

// What a path names. Only a regular file can be an image: a folder cannot be
// read, and a pipe or a device would hand out other bytes on every read.
enum class FileType { kRegular, kDirectory, kPipe, kOther };

struct FileStatus {
  FileType type = FileType::kOther;
  std::int64_t size = 0;  // of a regular file
};

// What path names; nullopt when it cannot be examined (missing, no access),
// with the system's reason in *error. Paths are UTF-8.
std::optional<FileStatus> StatusOfFile(const std::string& path, int* error = nullptr);

// The size of a regular file; nullopt when path names no regular file or
// cannot be examined, with the system's reason in *error:
// errors::kIsDirectory for a folder, 0 for a pipe or a device (no system
// call failed, so there is no number to give).
std::optional<std::int64_t> RegularFileSize(const std::string& path, int* error = nullptr);

// Opens a file for reading in binary mode without ever blocking: a pipe put
// in a file's place gives a read error instead of waiting for a writer.
// nullptr when it cannot be opened, with the system's reason in *error.
std::FILE* OpenFileForReading(const std::string& path, int* error = nullptr);

// A path from UTF-8 text, whatever the system's own narrow encoding (on
// Windows, std::filesystem::path(std::string) would read the ANSI code page).
inline std::filesystem::path PathFromUtf8(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

// The last part of a path: after the last '/' (or '\\' on Windows).
std::string_view FileNameOf(std::string_view path);

}  // namespace kesto
