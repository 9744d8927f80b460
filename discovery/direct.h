#pragma once

#include "platform/net_types.h"

#include <vector>

#include "discovery/discovery.h"

namespace kesto {

// What became of one address asked directly.
enum class DirectAnswer {
  kNoAnswer,     // no discovery reply came from it
  kQueryFailed,  // it replied, but its information query failed
  kRecorded,     // it replied and is in the table
};

// Asks the devices at addresses directly, for networks a broadcast does not
// reach (another subnet, client isolation): one "LN" to each address's
// discovery port, then the broadcast run's reply handling and information
// query. Replies from other senders, and second replies, are dropped. The run
// ends when every address has replied, after quietMs without a reply, after
// runLimitMs or unrecordedReplyLimit, and when the stop fires. Returns the
// number recorded (table.count), or the system's error when the socket cannot be created or
// bound, the system refuses a request or a wait fails. answers, when given, gets one entry per
// address; stats the replies read.
[[nodiscard]] Result<int> DiscoverDevicesAt(DeviceTable& table,
                                            const std::vector<Ipv4Address>& addresses,
                                            const DiscoveryOptions& options,
                                            std::vector<DirectAnswer>* answers = nullptr,
                                            DiscoveryStats* stats = nullptr);

}  // namespace kesto
