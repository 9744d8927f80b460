#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/net_types.h"

namespace kesto {

inline constexpr int kDeviceTableSize = 256;

// Device kinds as the information query maps them from the reply's kind letter.
inline constexpr int32_t kKindUnknown = -1;
inline constexpr int32_t kKindWiFi = 3;      // 'L'
inline constexpr int32_t kKindWireless = 5;  // 'W'
inline constexpr int32_t kKindPq = 6;        // 'T'
inline constexpr int32_t kKindBoard = 7;     // 'B'
inline constexpr int32_t kTmodeIdValue = 15;

// What is known about one device that answered the discovery broadcast.
struct DeviceRecord {
  // From the discovery reply.
  sockaddr_in replyAddress{};
  std::array<uint8_t, 6> hardwareAddress{};
  std::string addressText;  // dotted quad of replyAddress; every connection goes here
  uint8_t replyByte5High = 0;
  uint8_t replyByte6High = 0;
  uint8_t replyByte8 = 0;
  char kindLetter = 0;
  // From the information query. The versions are written only when the VER
  // reply carries their keys, so a reused slot keeps its earlier values.
  int32_t sketchVersion = 0;  // hundredths: 125 is 1.25
  // Whether this device's own VER reply carried sketchVersion; if not, the
  // value above is a default or an earlier device's.
  bool sketchVersionRead = false;
  int32_t textVersion = 0;
  int32_t kind = 0;
  int32_t modelId = 0;
  int32_t idValue = 0;
};

// Slot i is row i of the device list. Slots are never cleared: a run
// overwrites them from 0 upward and count says how many are this run's.
struct DeviceTable {
  std::array<DeviceRecord, kDeviceTableSize> records{};
  int32_t count = 0;
};

// 'B' 7, 'L' 3, 'T' 6, 'W' 5, anything else -1.
int32_t KindFromLetter(char letter);

// Removes slot index by moving slots index+1 .. 255 down one place; slot 255
// keeps its content and count is unchanged. Out-of-range indices do nothing.
void RemoveDeviceRecord(DeviceTable& table, int index);

}  // namespace kesto
