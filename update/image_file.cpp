#include "update/image_file.h"

#include "platform/files.h"

namespace kesto {

Result<ImageFile> OpenImageFile(const std::string& path) {
  return OpenFileForReading(path);
}

}  // namespace kesto
