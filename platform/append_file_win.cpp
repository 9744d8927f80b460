#include <windows.h>

#include "platform/append_file.h"
#include "platform/wide_text.h"

namespace kesto {
namespace {

// Holds LockFileEx over the whole file for its scope; other runs wait.
class ExclusiveLock {
 public:
  explicit ExclusiveLock(HANDLE file) : file_(file) {
    OVERLAPPED whole{};
    LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole);
  }
  ~ExclusiveLock() {
    OVERLAPPED whole{};
    UnlockFileEx(file_, 0, MAXDWORD, MAXDWORD, &whole);
  }
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;

 private:
  HANDLE file_;
};

}  // namespace

struct AppendFile::State {
  ~State() { CloseHandle(file); }
  HANDLE file = INVALID_HANDLE_VALUE;
};

AppendFile::AppendFile() = default;
AppendFile::~AppendFile() = default;
AppendFile::AppendFile(AppendFile&&) noexcept = default;
AppendFile& AppendFile::operator=(AppendFile&&) noexcept = default;

// Owner-only access on Windows comes from the folder's inherited ACL (a
// user's profile is private already); the file gets no ACL of its own.
Result<AppendFile> AppendFile::Open(const std::string& path) {
  const HANDLE file = CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Failure(FileError(static_cast<int>(GetLastError())));
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return Failure(NotRegularFile());
  }
  AppendFile result;
  result.state_ = std::make_unique<State>();
  result.state_->file = file;
  return result;
}

Result<void> AppendFile::Append(std::string_view text) {
  if (!state_) return Failure(FileError(ERROR_INVALID_HANDLE));
  const HANDLE file = state_->file;
  const ExclusiveLock lock(file);
  LARGE_INTEGER end{};
  if (!GetFileSizeEx(file, &end)) return Failure(FileError(static_cast<int>(GetLastError())));
  // Written at the end as it is under the lock, not where this handle last was.
  OVERLAPPED at{};
  at.Offset = end.LowPart;
  at.OffsetHigh = static_cast<DWORD>(end.HighPart);
  DWORD written = 0;
  const BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, &at);
  if (!ok || written != text.size()) {
    const int error = ok ? ERROR_DISK_FULL : static_cast<int>(GetLastError());
    SetFilePointerEx(file, end, nullptr, FILE_BEGIN);
    SetEndOfFile(file);
    return Failure(FileError(error));
  }
  if (!FlushFileBuffers(file)) return Failure(FileError(static_cast<int>(GetLastError())));
  return {};
}

}  // namespace kesto
