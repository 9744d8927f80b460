#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace kesto {

// The size of a regular file; nullopt when path names no regular file (a
// folder, a pipe, nothing) or cannot be examined, with the system's reason in
// *error (errors::kIsDirectory for a folder). Paths are UTF-8.
std::optional<std::int64_t> RegularFileSize(const std::string& path, int* error = nullptr);

// Opens a file for reading in binary mode without ever blocking: a pipe put
// in a file's place gives a read error instead of waiting for a writer.
// nullptr when it cannot be opened, with the system's reason in *error.
std::FILE* OpenFileForReading(const std::string& path, int* error = nullptr);

// The last part of a path: after the last '/' (or '\\' on Windows).
std::string_view FileNameOf(std::string_view path);

}  // namespace kesto
