#pragma once

#include <string>

#include "platform/files.h"

namespace kesto {

using ImageFile = OwnedFile;

// Opens the image for reading without ever blocking: a pipe or a device put in
// the image's place gives a read error instead of waiting for a writer. The
// failure is the system's reason (FileCategory()).
[[nodiscard]] Result<ImageFile> OpenImageFile(const std::string& path);

}  // namespace kesto
