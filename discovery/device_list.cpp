#include "discovery/device_list.h"

#include <algorithm>
#include <array>

#include "discovery/query_pool.h"
#include "platform/deadline.h"
#include "platform/format.h"

namespace kesto {
namespace {

// Kind 7 boards, by model id 0..6.
constexpr std::array<const char*, 7> kModelNamesKind7 = {"KS-B20", "KS-B21", "KS-B22", "KS-B23",
                                                         "KS-B24", "KS-B25", "KS-B26"};
// Kind 5 wireless models, by model id 16..23; the unnamed ones show empty.
constexpr int64_t kKind5FirstModelId = 16;
constexpr std::array<const char*, 8> kModelNamesKind5 = {"", "KS-W17", "KS-W18", "",
                                                         "", "",       "",       ""};

template <size_t N>
const char* TableName(const std::array<const char*, N>& names, int64_t index) {
  return index >= 0 && index < static_cast<int64_t>(N) ? names[static_cast<size_t>(index)]
                                                       : nullptr;
}

}  // namespace

std::string ModelName(int32_t kind, int32_t modelId) {
  const char* name = nullptr;
  switch (kind) {
    case kKindWiFi:
      return "WiFi";
    case kKindPq:
      return "PQ";
    case kKindBoard:
      name = TableName(kModelNamesKind7, modelId);
      break;
    case kKindWireless:
      name = TableName(kModelNamesKind5, modelId - kKind5FirstModelId);
      break;
    default:
      break;
  }
  return name ? std::string(name) : Format("(model id:%d)", modelId);
}

float DisplayVersion(int32_t sketchVersion) {
  // Single precision on purpose: 90 * 0.01f lands just below 0.9, so 90 and
  // less show as 1.00 and 91 as 0.91.
  const float version = static_cast<float>(sketchVersion) * 0.01f;
  return static_cast<double>(version) < 0.9 ? 1.0f : version;
}

bool WantsRssi(const DeviceRecord& record) {
  // The version times 100 truncated is at least 123 exactly when the product
  // is; comparing the product avoids converting a huge float to int.
  return record.modelId == 0 && DisplayVersion(record.sketchVersion) * 100.0f >= 123.0f;
}

std::string HardwareAddressText(const std::array<uint8_t, 6>& address) {
  return Format("%02X-%02X-%02X-%02X-%02X-%02X", address[0], address[1], address[2], address[3],
                address[4], address[5]);
}

std::string DeviceListEntry(const DeviceRecord& record, int32_t rssi) {
  std::string entry = Format("%s / %s / %s / ver. %1.2f", record.addressText.c_str(),
                             HardwareAddressText(record.hardwareAddress).c_str(),
                             ModelName(record.kind, record.modelId).c_str(),
                             static_cast<double>(DisplayVersion(record.sketchVersion)));
  if (rssi != 0) entry += Format(" (%d dBm)", rssi);
  return entry;
}

std::vector<std::string> BuildDeviceList(const DeviceTable& table, int count,
                                         const QueryOptions& options) {
  const auto devices = static_cast<size_t>(std::clamp(count, 0, kDeviceTableSize));
  // Each query is bounded on its own; the budget bounds them all, so a table
  // of devices that each hold their query to its deadline cannot hold the list.
  const Deadline budget = Deadline::After(options.rssiBudgetMs);
  // A failed or skipped query leaves rssi at 0: the entry then has no dBm suffix.
  std::vector<int32_t> rssi(devices, 0);
  std::vector<size_t> asked;
  for (size_t i = 0; i < devices; ++i)
    if (WantsRssi(table.records[i])) asked.push_back(i);
  ForEachConcurrently(
      asked.size(), kQueriesInFlight, [&](size_t k) { return table.records[asked[k]].addressText; },
      [&](size_t k) {
        if (budget.Passed()) return;
        QueryOptions query = options;
        query.exchangeDeadlineMs = budget.Cap(options.exchangeDeadlineMs);
        static_cast<void>(QueryRssi(table.records[asked[k]], rssi[asked[k]], query));
      });
  std::vector<std::string> entries;
  entries.reserve(devices);
  for (size_t i = 0; i < devices; ++i)
    entries.push_back(DeviceListEntry(table.records[i], rssi[i]));
  return entries;
}

}  // namespace kesto
