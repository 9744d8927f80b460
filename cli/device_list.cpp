#include "cli/device_list.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/format.h"
#include "platform/socket.h"

namespace kesto::cli {
namespace {

// A list of every address of a few subnets is far below this; more is not a list.
constexpr size_t kMaxListBytes = 4 * 1024 * 1024;

std::string_view Trimmed(std::string_view text) {
  constexpr std::string_view kSpace = " \t\r\f\v";
  const size_t first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

}  // namespace

bool ParseDeviceList(std::string_view text, std::vector<std::string>& devices,
                     std::string& problem) {
  std::vector<std::string> found;
  int number = 0;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    ++number;
    line = Trimmed(line.substr(0, line.find('#')));
    if (line.empty()) continue;
    if (!ParseIpv4(line)) {
      problem = Format("line %d: not an IPv4 address: %.*s", number,
                       static_cast<int>(std::min<size_t>(line.size(), 64)), line.data());
      return false;
    }
    found.emplace_back(line);
  }
  devices.insert(devices.end(), found.begin(), found.end());
  return true;
}

bool ReadDeviceListFile(const std::string& path, std::vector<std::string>& devices,
                        std::string& problem) {
  const Result<OwnedFile> opened = OpenFileForReading(path);
  if (!opened) {
    problem = path + ": " + opened.error().message();
    return false;
  }
  std::string text(kMaxListBytes + 1, '\0');
  text.resize(std::fread(text.data(), 1, text.size(), opened->get()));
  if (std::ferror(opened->get())) {
    // A folder reads as an error; errno tells which.
    problem = path + ": " + SystemErrorText(errno != 0 ? errno : errors::kIsDirectory);
    return false;
  }
  if (text.size() > kMaxListBytes) {
    problem = path + ": longer than a device list can be";
    return false;
  }
  if (ParseDeviceList(text, devices, problem)) return true;
  problem = path + ":" + problem.substr(std::string_view("line ").size());
  return false;
}

}  // namespace kesto::cli
