#include "update/image_file.h"

#include "platform/files.h"

namespace kesto {

ImageFile OpenImageFile(const std::string& path) {
  return ImageFile(OpenFileForReading(path));
}

}  // namespace kesto
