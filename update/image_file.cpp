#include "update/image_file.h"

#include <fcntl.h>
#include <unistd.h>

namespace kesto {

ImageFile OpenImageFile(const std::string& path) {
  // A regular file reads the same with or without O_NONBLOCK.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  ImageFile file(fdopen(fd, "rb"));
  if (!file) close(fd);
  return file;
}

}  // namespace kesto
