#pragma once

#include <cstdio>
#include <memory>
#include <string>

namespace kesto {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using ImageFile = std::unique_ptr<std::FILE, FileCloser>;

// Opens the image for reading without ever blocking: a pipe or a device put in
// the image's place gives a read error instead of waiting for a writer. Empty
// when the file cannot be opened, with the system's reason in *error.
ImageFile OpenImageFile(const std::string& path, int* error = nullptr);

}  // namespace kesto
