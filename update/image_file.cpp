#include "update/image_file.h"

#include "platform/files.h"

namespace kesto {

ImageFile OpenImageFile(const std::string& path, int* error) {
  return ImageFile(OpenFileForReading(path, error));
}

}  // namespace kesto
