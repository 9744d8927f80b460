#pragma once

// A plant's device list kept in a file: one IPv4 address a line.

#include <string>
#include <string_view>
#include <vector>

namespace kesto::cli {

// Adds the addresses of text to devices, in order. Blank lines and whatever
// follows a '#' are ignored, spaces around an address too. False at the first
// line that holds anything else, with problem naming the line
// ("line 3: not an IPv4 address: 10.0.0").
bool ParseDeviceList(std::string_view text, std::vector<std::string>& devices,
                     std::string& problem);

// The same for a file. False, with problem ("FILE: ..." or "FILE:3: ..."),
// when it cannot be read or a line is bad; nothing is added then.
bool ReadDeviceListFile(const std::string& path, std::vector<std::string>& devices,
                        std::string& problem);

}  // namespace kesto::cli
