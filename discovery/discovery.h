#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "discovery/device_query.h"
#include "discovery/device_table.h"
#include "platform/net_types.h"

namespace kesto {

inline constexpr size_t kDiscoveryReplySize = 30;

// Where a search stands, for a front end to show.
enum class SearchPhase {
  kBroadcast,  // "LN" sent, waiting for replies
  kQuerying,   // the first reply's device is being asked for its information
  kListing,    // building the list entries (and asking for signal strengths)
};

struct DiscoveryOptions {
  Ipv4Address localAddress = 0;  // every socket binds here, port 0
  uint16_t discoveryPort = kDiscoveryPort;
  Ipv4Address broadcastAddress = INADDR_BROADCAST;
  int quietMs = 1000;  // the run ends after this long without a reply
  // Bounds against floods: replies that keep coming more often than quietMs
  // would otherwise keep a run going for ever. A LAN of 256 devices, each
  // queried in well under a second, is done long before either bound.
  int runLimitMs = 300000;  // the whole run at most this long
  // The devices the caller is after. When given, the run ends as soon as
  // each of them has replied and its query has ended, instead of waiting out
  // the quiet time: only one that stays silent costs the full wait.
  std::vector<Ipv4Address> awaited;
  int unrecordedReplyLimit = 4096;  // datagrams that record nothing (bad, failed queries)
  // Port, time limits and stop of the device queries; the stop also ends the
  // run. The queries bind to localAddress above, whatever query.localAddress says.
  QueryOptions query;
  // Told of each phase as it begins, on the searching thread; keep it short.
  // DiscoverDevices reports kBroadcast and kQuerying; whoever builds the
  // list reports kListing (see ReportPhase).
  std::function<void(SearchPhase)> phase;
};

// Calls options.phase when there is one.
void ReportPhase(const DiscoveryOptions& options, SearchPhase phase);

// What a run saw besides the devices, for a verbose report.
struct DiscoveryStats {
  int datagrams = 0;         // read from the reply socket
  uint32_t kernelDrops = 0;  // dropped by the kernel for want of room, where it tells
};

// Whether a reply's sender can be a device: not 0.0.0.0/8, not multicast, not
// the reserved or broadcast range. Replies from other senders are dropped.
bool IsDeviceAddress(Ipv4Address address);

// What one discovery reply says, read once from its datagram.
struct DiscoveryReply {
  sockaddr_in sender{};
  std::array<uint8_t, 6> hardwareAddress{};
  std::string addressText;  // the sender's
  uint8_t byte5High = 0;
  uint8_t byte6High = 0;
  uint8_t byte8 = 0;
  char kindLetter = 0;
};
// One datagram of at most 30 bytes; missing bytes read as zero.
DiscoveryReply ParseDiscoveryReply(const uint8_t* data, size_t size, const sockaddr_in& sender);
// Fills the reply fields of record, leaving the others as they are.
void ApplyDiscoveryReply(const DiscoveryReply& reply, DeviceRecord& record);
void ApplyDiscoveryReply(const uint8_t* data, size_t size, const sockaddr_in& sender,
                         DeviceRecord& record);

// One discovery run: broadcast "LN", take replies until quietMs passes without
// one and every query has ended, query each replying device (up to
// kQueriesInFlight at once, each as soon as its reply is read) and record it
// when the query succeeds. The table holds the devices in the order of their
// replies, slot by slot as a run one device at a time would leave it.
// Returns the number recorded, or the system's error when the socket cannot be created or
// bound, the system refuses the broadcast or a wait fails. table.count always holds the devices
// recorded. The run also ends, with the devices recorded so far, when the table is full (nothing
// more could be recorded), after unrecordedReplyLimit replies that recorded nothing, after
// runLimitMs, when every awaited device is done with, and when the stop fires. stats, when given,
// gets the run's figures.
[[nodiscard]] Result<int> DiscoverDevices(DeviceTable& table, const DiscoveryOptions& options,
                                          DiscoveryStats* stats = nullptr);

}  // namespace kesto
