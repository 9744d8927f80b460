#pragma once

// --report FILE: a record of every device's outcome that outlasts the run,
// one JSON line per device, appended as each device finishes.

#include <chrono>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/append_file.h"

namespace kesto::cli {

// "2026-12-08T19:45:12.345Z"
std::string IsoUtcTime(std::chrono::system_clock::time_point time);

class RunReport {
 public:
  // What every line of this run carries besides the device's own object.
  struct Context {
    std::string host;
    std::string user;
    std::string imageSha256;
  };

  // Opens path for appending (created owner-only). False, with the reason in
  // problem, when it cannot be written.
  bool Open(const std::string& path, std::string& problem);
  bool open() const { return file_.open(); }
  void SetContext(Context context) { context_ = std::move(context); }

  // Appends object with time, host, user, interface and imageSha256 as one
  // whole line on the disk. Safe from any thread. False, with the reason in
  // problem, when the line could not be written.
  bool Append(nlohmann::ordered_json object, const std::string& interfaceAddress,
              std::string& problem);

 private:
  std::mutex mutex_;
  AppendFile file_;
  std::string path_;
  Context context_;
};

}  // namespace kesto::cli
