#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "discovery/device_ports.h"
#include "discovery/device_table.h"
#include "platform/net_types.h"

namespace kesto {

class StopSignal;


struct QueryOptions {
  Ipv4Address localAddress = 0;  // chosen local address, network order
  uint16_t port = kQueryPort;
  int connectTimeoutMs = 3000;
  int receiveTimeoutMs = 3000;  // no byte for this long fails the query
  // One whole exchange (connect, request, reply) at most this long, so that a
  // device dripping one byte at a time cannot hold it for minutes.
  int exchangeDeadlineMs = 10000;
  int pauseMs = 100;  // between the VER and DUMP connections
  // All RSSI queries of one device list together; entries whose turn comes
  // later go without a signal strength.
  int rssiBudgetMs = 60000;
  const StopSignal* stop = nullptr;
};

// --- Pure parsers of the information service's replies ---

// strtoul(base 10) semantics stored in a signed 32-bit field: "-62" gives -62,
// overflow gives 4294967295 (-1).
int32_t ReadUnsignedNumber(std::string_view text);
// atoi semantics (0 when no digit).
int32_t ReadIntNumber(std::string_view text);

struct VerLines {
  std::string line1;  // at most 31 characters
  std::string line2;  // at most 31 characters
};
// The two CR-ended lines of a VER reply; nullopt when a CR is missing.
std::optional<VerLines> SplitVerReply(std::string_view reply);
// Writes sketchVersion/textVersion when their keys are present.
void ApplyVerLines(const VerLines& lines, DeviceRecord& record);

struct DumpValues {
  int32_t modelId = 0;
  int32_t idValue = 0;
};
DumpValues ParseDump(std::string_view dump);

// An RSSI reply: false when its line has no CR (the query fails); otherwise
// true, and rssi is written only when the line carries "RSSI : ".
bool ApplyRssiReply(std::string_view reply, int32_t& rssi);

// What one information query learnt: the versions when the VER reply carried
// their keys, and kind, modelId and idValue as far as the query got (-1 for
// the steps it did not reach).
struct DeviceInfo {
  std::optional<int32_t> sketchVersion;
  std::optional<int32_t> textVersion;
  int32_t kind = kKindUnknown;
  int32_t modelId = -1;
  int32_t idValue = -1;
};
// Writes info into record as the query would have written it there.
void ApplyDeviceInfo(const DeviceInfo& info, DeviceRecord& record);

// --- Exchanges with the device's information service ---

// VER then DUMP at addressText, filling info as it goes; the device's kind
// comes from kindLetter once VER succeeded. False as QueryDeviceInfo below.
bool QueryDeviceInfo(const std::string& addressText, char kindLetter, DeviceInfo& info,
                     const QueryOptions& options);

// VER then DUMP for the record's addressText, each on a connection of its own
// with the pause between them. Sets kind, modelId, idValue (and the versions
// when present). False on any connection, send or receive failure, on a time
// limit or deadline of the options, and when the stop fires.
bool QueryDeviceInfo(DeviceRecord& record, const QueryOptions& options);
// RSSI; writes rssi only when a value is found.
bool QueryRssi(const DeviceRecord& record, int32_t& rssi, const QueryOptions& options);

}  // namespace kesto
