#include "cli/report.h"

#include "platform/format.h"

namespace kesto::cli {

std::string IsoUtcTime(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const auto day = floor<days>(time);
  const year_month_day date(day);
  const hh_mm_ss clock(floor<milliseconds>(time - day));
  return Format("%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()),
                static_cast<int>(clock.subseconds().count()));
}

bool RunReport::Open(const std::string& path, std::string& problem) {
  Result<AppendFile> file = AppendFile::Open(path);
  if (file) {
    file_ = std::move(*file);
    path_ = path;
    return true;
  }
  problem = path + ": " +
            (file.error() == AppendFile::NotRegularFile() ? "not a regular file"
                                                          : file.error().message());
  return false;
}

bool RunReport::Append(nlohmann::ordered_json object, const std::string& interfaceAddress,
                       std::string& problem) {
  object["time"] = IsoUtcTime(std::chrono::system_clock::now());
  object["host"] = context_.host;
  object["user"] = context_.user;
  object["interface"] = interfaceAddress;
  object["imageSha256"] = context_.imageSha256;
  const std::string line =
      object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + '\n';
  std::lock_guard lock(mutex_);
  const Result<void> appended = file_.Append(line);
  if (appended) return true;
  problem = path_ + ": " + appended.error().message();
  return false;
}

}  // namespace kesto::cli
