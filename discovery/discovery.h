#pragma once

#include <cstddef>
#include <cstdint>

#include "discovery/device_query.h"
#include "discovery/device_table.h"
#include "platform/net_types.h"

namespace kesto {

inline constexpr uint16_t kDiscoveryPort = 30718;
inline constexpr size_t kDiscoveryReplySize = 30;

struct DiscoveryOptions {
  Ipv4Address localAddress = 0;  // every socket binds here, port 0
  uint16_t discoveryPort = kDiscoveryPort;
  Ipv4Address broadcastAddress = INADDR_BROADCAST;
  int quietMs = 1000;  // the run ends after this long without a reply
  // Bounds against floods: replies that keep coming more often than quietMs
  // would otherwise keep a run going for ever. A LAN of 256 devices, each
  // queried in well under a second, is done long before either bound.
  int runLimitMs = 300000;          // the whole run at most this long
  int unrecordedReplyLimit = 4096;  // datagrams that record nothing (bad, failed queries)
  // Port, time limits and stop of the device queries; the stop also ends the
  // run. The queries bind to localAddress above, whatever query.localAddress says.
  QueryOptions query;
};

// Whether a reply's sender can be a device: not 0.0.0.0/8, not multicast, not
// the reserved or broadcast range. Replies from other senders are dropped.
bool IsDeviceAddress(Ipv4Address address);

// Fills the reply fields of record from one datagram of at most 30 bytes;
// missing bytes read as zero.
void ApplyDiscoveryReply(const uint8_t* data, size_t size, const sockaddr_in& sender,
                         DeviceRecord& record);

// One discovery run: broadcast "LN", take replies until quietMs passes without
// one, query each replying device and record it when the query succeeds.
// Returns the number recorded, or -1 when the socket cannot be created or
// bound or a wait fails. table.count always holds the devices recorded. The
// run also ends, with the devices recorded so far, when the table is full
// (nothing more could be recorded), after unrecordedReplyLimit replies that
// recorded nothing, after runLimitMs, and when the stop fires.
int DiscoverDevices(DeviceTable& table, const DiscoveryOptions& options);

}  // namespace kesto
