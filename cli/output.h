#pragma once

// What kesto-fw prints: texts for a terminal, the JSON lines, the progress.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "discovery/device_table.h"
#include "discovery/discovery.h"
#include "net/interfaces.h"

namespace kesto::cli {

// Message texts carry "\r\n" line ends; a terminal wants "\n".
std::string ForTerminal(std::string_view text);

// Device bytes reach the log ("Bad Answer: ..."); a terminal must not receive
// their control characters as escape sequences.
std::string PrintableLog(std::string_view piece);

// "kesto-fw: TEXT" on standard error.
void PrintError(const std::string& text);

// The broadcast search's figures on standard error (--verbose): replies read,
// and those the system dropped for want of room.
void PrintSearchStats(const DiscoveryStats& stats);

// "the search on ADDR failed: error N (the system's words)".
std::string SearchFailureText(Ipv4Address local, const std::error_code& error);

// One JSON object on one line of standard output. Text that is not UTF-8
// (device bytes) is replaced, never a reason to fail.
void PrintJsonLine(const nlohmann::ordered_json& object);

nlohmann::ordered_json DeviceJson(const DeviceRecord& record, const std::string& entry);
nlohmann::ordered_json InterfaceJson(const InterfaceRecord& record);

// "1.25": the version as the device list shows it.
std::string VersionTextOf(const DeviceRecord& record);

}  // namespace kesto::cli
