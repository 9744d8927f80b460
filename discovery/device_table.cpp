#include "discovery/device_table.h"

#include <algorithm>
#include <iterator>

namespace kesto {

int32_t KindFromLetter(char letter) {
  switch (letter) {
    case 'B':
      return kKindBoard;
    case 'L':
      return kKindWiFi;
    case 'T':
      return kKindPq;
    case 'W':
      return kKindWireless;
    default:
      return kKindUnknown;
  }
}

void RemoveDeviceRecord(DeviceTable& table, int index) {
  if (index < 0 || index >= kDeviceTableSize) return;
  auto& records = table.records;
  const auto first = records.begin() + index;
  // Slot 255 keeps a copy of its content, as the list-aligned removal expects.
  std::copy(std::next(first), records.end(), first);
}

}  // namespace kesto
