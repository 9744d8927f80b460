#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/errors.h"

namespace kesto {

// A record that several processes extend at once, line by line: every line
// lands whole or not at all, and is on the disk before Append returns.
class AppendFile {
 public:
  // Opens path for appending, creating it readable and writable by its owner
  // only. A tail that a killed writer left without its line end is cut off.
  // Fails with the system's number, or with NotRegularFile() when path names
  // something else than a regular file.
  [[nodiscard]] static Result<AppendFile> Open(const std::string& path);
  // Open's failure for a folder, a pipe or a device: no system call failed.
  [[nodiscard]] static std::error_code NotRegularFile() {
    return std::make_error_code(std::errc::not_supported);
  }

  AppendFile();
  ~AppendFile();
  AppendFile(AppendFile&&) noexcept;
  AppendFile& operator=(AppendFile&&) noexcept;

  bool open() const { return state_ != nullptr; }
  // Appends text (one or more whole lines) with one write under an exclusive
  // lock, then syncs it. When the disk takes only part of it, that part is
  // taken back. Fails with the system's number.
  [[nodiscard]] Result<void> Append(std::string_view text);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace kesto
