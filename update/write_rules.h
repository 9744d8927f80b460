#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "discovery/device_table.h"

namespace kesto {

// File-name prefix of a device kind: "KESTOWiFi", "KS_N", "PQ" or empty.
std::string FilePrefixForKind(int32_t kind);

// Kinds 5 and 7 with idValue 15 are in TMODE and must not be written.
bool IsRefusedForTmode(const DeviceRecord& record);

// Normal mode: the file name cut to the prefix's length must equal the
// prefix, byte for byte (so case-sensitively); a name shorter than the prefix
// fails, an empty prefix passes. A folder part before the last '/' is ignored.
// Hidden mode: always true.
bool FileNameMatchesPrefix(std::string_view fileName, std::string_view prefix, bool hiddenMode);

}  // namespace kesto
