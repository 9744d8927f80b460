// Paths are UTF-8 everywhere in the program; Windows takes them as UTF-16.
// Errors are Windows' own (GetLastError), like the socket errors.

#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/winsock.h"

namespace kesto {

Result<FileStatus> StatusOfFile(const std::string& path) {
  const std::wstring wide = WideFromUtf8(path);
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (wide.empty() || !GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data))
    return Failure(FileError(wide.empty() ? ERROR_INVALID_NAME : static_cast<int>(GetLastError())));
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return FileStatus{FileType::kDirectory, 0};
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) return FileStatus{FileType::kOther, 0};
  const auto size =
      static_cast<std::int64_t>((std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow);
  return FileStatus{FileType::kRegular, size};
}

Result<OwnedFile> OpenFileForReading(const std::string& path) {
  // A Windows file never blocks its reader the way a POSIX FIFO can. Others
  // may still rename or delete it while it is open, as on POSIX.
  const std::wstring wide = WideFromUtf8(path);
  const HANDLE handle = wide.empty()
                            ? INVALID_HANDLE_VALUE
                            : CreateFileW(wide.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return Failure(FileError(wide.empty() ? ERROR_INVALID_NAME : static_cast<int>(GetLastError())));
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return Failure(FileError(ERROR_TOO_MANY_OPEN_FILES));
  }
  OwnedFile file(_fdopen(fd, "rb"));
  if (!file) {
    _close(fd);
    return Failure(FileError(ERROR_TOO_MANY_OPEN_FILES));
  }
  return file;
}

Result<std::size_t> ReadFromFile(std::FILE* file, void* buffer, std::size_t size) {
  // The C library keeps the system's own number of a failed read in _doserrno.
  _doserrno = 0;
  const std::size_t read = std::fread(buffer, 1, size, file);
  if (!std::ferror(file)) return read;
  if (_doserrno == 0) return Failure(std::make_error_code(std::errc::io_error));
  return Failure(FileError(static_cast<int>(_doserrno)));
}

std::string_view FileNameOf(std::string_view path) {
  const size_t separator = path.find_last_of("/\\");
  return separator == std::string_view::npos ? path : path.substr(separator + 1);
}

}  // namespace kesto
