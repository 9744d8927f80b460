#include "update/image_file.h"

#include "platform/files.h"

namespace kesto {

ImageFile OpenImageFile(const std::string& path, int* error) {
  Result<OwnedFile> file = OpenFileForReading(path);
  if (!file && error) *error = file.error().value();
  return file ? std::move(*file) : ImageFile();
}

}  // namespace kesto
