#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/append_file.h"

namespace kesto {
namespace {

// Holds flock() for its scope; other runs appending to the same file wait.
class ExclusiveLock {
 public:
  explicit ExclusiveLock(int fd) : fd_(fd) {
    while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~ExclusiveLock() { flock(fd_, LOCK_UN); }
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;

 private:
  int fd_;
};

// Cuts an unfinished last line (its writer was killed, or the machine lost
// power) so that the next line does not glue onto it.
void CutUnfinishedTail(int fd) {
  struct stat status {};
  if (fstat(fd, &status) != 0 || status.st_size == 0) return;
  off_t end = status.st_size;
  char byte = 0;
  while (end > 0 && pread(fd, &byte, 1, end - 1) == 1 && byte != '\n') --end;
  if (end != status.st_size && ftruncate(fd, end) == 0) fsync(fd);
}

}  // namespace

struct AppendFile::State {
  ~State() { close(fd); }
  int fd = -1;
};

AppendFile::AppendFile() = default;
AppendFile::~AppendFile() = default;
AppendFile::AppendFile(AppendFile&&) noexcept = default;
AppendFile& AppendFile::operator=(AppendFile&&) noexcept = default;

Result<AppendFile> AppendFile::Open(const std::string& path) {
  // O_NONBLOCK: a pipe in the file's place must not hang the start.
  const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0600);
  if (fd < 0) return Failure(FileError(errno));
  struct stat status {};
  const bool examined = fstat(fd, &status) == 0;
  if (!examined || !S_ISREG(status.st_mode)) {
    const std::error_code error = examined ? NotRegularFile() : FileError(errno);
    close(fd);
    return Failure(error);
  }
  AppendFile file;
  file.state_ = std::make_unique<State>();
  file.state_->fd = fd;
  const ExclusiveLock lock(fd);
  CutUnfinishedTail(fd);
  return file;
}

Result<void> AppendFile::Append(std::string_view text) {
  if (!state_) return Failure(FileError(EBADF));
  const int fd = state_->fd;
  const ExclusiveLock lock(fd);
  struct stat status {};
  if (fstat(fd, &status) != 0) return Failure(FileError(errno));
  ssize_t written = -1;
  do {
    written = write(fd, text.data(), text.size());
  } while (written < 0 && errno == EINTR);
  if (written != static_cast<ssize_t>(text.size())) {
    const int error = written < 0 ? errno : ENOSPC;
    if (written > 0 && ftruncate(fd, status.st_size) == 0) fsync(fd);
    return Failure(FileError(error));
  }
  if (fsync(fd) != 0) return Failure(FileError(errno));
  return {};
}

}  // namespace kesto
