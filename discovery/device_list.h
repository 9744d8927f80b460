#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "discovery/device_query.h"
#include "discovery/device_table.h"

namespace kesto {

// Model name for a kind and model id: "WiFi", "PQ", the kind 5 / kind 7 tables,
// and "(model id:%d)" for other kinds and for ids outside a table.
std::string ModelName(int32_t kind, int32_t modelId);

// Version shown in the list: sketchVersion * 0.01f, or 1.0 below 0.9.
float DisplayVersion(int32_t sketchVersion);

// Whether the search asks the device for its signal strength.
bool WantsRssi(const DeviceRecord& record);

// "%02X-%02X-%02X-%02X-%02X-%02X", as the list and the JSON output show it.
std::string HardwareAddressText(const std::array<uint8_t, 6>& address);

// "%s / %02X-...-%02X / %s / ver. %1.2f" plus " (%d dBm)" when rssi is not 0.
std::string DeviceListEntry(const DeviceRecord& record, int32_t rssi);

// The entries of slots 0..count-1, asking for RSSI where WantsRssi says so
// (several devices at once), as long as options.rssiBudgetMs lasts.
std::vector<std::string> BuildDeviceList(const DeviceTable& table, int count,
                                         const QueryOptions& options);

}  // namespace kesto
