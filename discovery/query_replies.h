#pragma once

// The information service's replies read into plain data: no sockets here,
// so that the queries, the tests and the fuzzers share one reading.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "discovery/device_table.h"

namespace kesto {

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
// The versions behind their keys, each when its key is present.
void ApplyVerLines(const VerLines& lines, DeviceInfo& info);
// Writes info into record as the query would have written it there.
void ApplyDeviceInfo(const DeviceInfo& info, DeviceRecord& record);

}  // namespace kesto
