#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

#include "discovery/device_query.h"
#include "discovery/device_table.h"

namespace kesto {

inline constexpr uint16_t kDiscoveryPort = 30718;
inline constexpr size_t kDiscoveryReplySize = 30;

struct DiscoveryOptions {
  in_addr_t localAddress = 0;  // every socket binds here, port 0
  uint16_t discoveryPort = kDiscoveryPort;
  in_addr_t broadcastAddress = INADDR_BROADCAST;
  int quietMs = 1000;  // the run ends after this long without a reply
  // Port, time limits and stop of the device queries; the stop also ends the
  // run. The queries bind to localAddress above, whatever query.localAddress says.
  QueryOptions query;
};

// Fills the reply fields of record from one datagram of at most 30 bytes;
// missing bytes read as zero.
void ApplyDiscoveryReply(const uint8_t* data, size_t size, const sockaddr_in& sender,
                         DeviceRecord& record);

// One discovery run: broadcast "LN", take replies until quietMs passes without
// one, query each replying device and record it when the query succeeds.
// Returns the number recorded, or -1 when the socket cannot be created or
// bound or a wait fails. table.count always holds the devices recorded; once
// the table is full, further replies are read and ignored. A stop ends the run
// with the devices recorded so far.
int DiscoverDevices(DeviceTable& table, const DiscoveryOptions& options);

}  // namespace kesto
