#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/files.h"

namespace kesto {

Result<FileStatus> StatusOfFile(const std::string& path) {
  // A 64-bit size, so that a huge file is recognised instead of wrapping.
  static_assert(sizeof(off_t) >= 8, "build with large-file support");
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return Failure(FileError(errno));
  if (S_ISREG(status.st_mode)) return FileStatus{FileType::kRegular, status.st_size};
  if (S_ISDIR(status.st_mode)) return FileStatus{FileType::kDirectory, 0};
  if (S_ISFIFO(status.st_mode)) return FileStatus{FileType::kPipe, 0};
  return FileStatus{FileType::kOther, 0};
}

Result<OwnedFile> OpenFileForReading(const std::string& path) {
  // A regular file reads the same with or without O_NONBLOCK.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Failure(FileError(errno));
  OwnedFile file(fdopen(fd, "rb"));
  if (!file) {
    const int error = errno;
    close(fd);
    return Failure(FileError(error));
  }
  return file;
}

Result<std::size_t> ReadFromFile(std::FILE* file, void* buffer, std::size_t size) {
  errno = 0;
  const std::size_t read = std::fread(buffer, 1, size, file);
  if (!std::ferror(file)) return read;
  if (errno == 0) return Failure(std::make_error_code(std::errc::io_error));
  return Failure(FileError(errno));
}

std::string_view FileNameOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace kesto
