#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "discovery/device_ports.h"
#include "discovery/device_table.h"
#include "discovery/query_replies.h"
#include "platform/errors.h"
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

// Why a query failed where no system call did: the device closed before its
// reply was complete, or the reply is not of the form a device gives.
enum class ReplyFault { kCutShort = 1, kMalformed };
[[nodiscard]] std::error_code ReplyError(ReplyFault fault);

// VER then DUMP at addressText, filling info as it goes; the device's kind
// comes from kindLetter once VER succeeded. Fails as QueryDeviceInfo below.
[[nodiscard]] Result<void> QueryDeviceInfo(const std::string& addressText, char kindLetter,
                                           DeviceInfo& info, const QueryOptions& options);

// VER then DUMP for the record's addressText, each on a connection of its own
// with the pause between them. Sets kind, modelId, idValue (and the versions
// when present). Fails with the system's error of a connection, send or
// receive, errors::kTimedOut on a time limit or deadline of the options,
// errors::kCanceled when the stop fires, and a ReplyError for a reply cut short
// or malformed.
[[nodiscard]] Result<void> QueryDeviceInfo(DeviceRecord& record, const QueryOptions& options);
// RSSI; writes rssi only when a value is found (a reply without one succeeds).
[[nodiscard]] Result<void> QueryRssi(const DeviceRecord& record, int32_t& rssi,
                                     const QueryOptions& options);

}  // namespace kesto
