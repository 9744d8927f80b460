#pragma once

#include <string>

#include "platform/files.h"

namespace kesto {

using ImageFile = OwnedFile;

// Opens the image for reading without ever blocking: a pipe or a device put in
// the image's place gives a read error instead of waiting for a writer. Empty
// when the file cannot be opened, with the system's reason in *error.
ImageFile OpenImageFile(const std::string& path, int* error = nullptr);

}  // namespace kesto
