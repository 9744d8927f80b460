#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace kesto {

// A record that several processes extend at once, line by line: every line
// lands whole or not at all, and is on the disk before Append returns.
class AppendFile {
 public:
  // Opens path for appending, creating it readable and writable by its owner
  // only. A tail that a killed writer left without its line end is cut off.
  // On failure the result is not open() and error holds the system's number
  // (0 when path names something else than a regular file).
  static AppendFile Open(const std::string& path, int& error);

  AppendFile();
  ~AppendFile();
  AppendFile(AppendFile&&) noexcept;
  AppendFile& operator=(AppendFile&&) noexcept;

  bool open() const { return state_ != nullptr; }
  // Appends text (one or more whole lines) with one write under an exclusive
  // lock, then syncs it. When the disk takes only part of it, that part is
  // taken back. 0, or the system's error number.
  int Append(std::string_view text);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace kesto
