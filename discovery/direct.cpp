#include "discovery/direct.h"

#include <algorithm>
#include <array>

#include "platform/deadline.h"
#include "platform/errors.h"
#include "platform/socket.h"

namespace kesto {

Result<int> DiscoverDevicesAt(DeviceTable& table, const std::vector<Ipv4Address>& addresses,
                              const DiscoveryOptions& options, std::vector<DirectAnswer>* answers,
                              DiscoveryStats* stats) {
  table.count = 0;
  std::vector<DirectAnswer> state(addresses.size(), DirectAnswer::kNoAnswer);
  std::vector<bool> replied(addresses.size(), false);
  DiscoveryStats seen;
  // finish(count) ends the run with its count; finish(-1, error) with the system's error.
  const auto finish = [&](int count, int error = 0) -> Result<int> {
    if (answers) *answers = state;
    if (stats) *stats = seen;
    if (error != 0) return Failure(SocketError(error));
    return count;
  };
  Result<Socket> opened = Socket::Open(SOCK_DGRAM);
  if (!opened) return finish(-1, opened.error().value());
  Socket& socket = *opened;
  if (const Result<void> bound = socket.Bind(MakeSocketAddress(options.localAddress, 0)); !bound)
    return finish(-1, ErrorNumber(bound));
  constexpr char kRequest[2] = {'L', 'N'};
  for (const Ipv4Address address : addresses) {
    const Result<size_t> sent =
        socket.SendTo(kRequest, sizeof kRequest, MakeSocketAddress(address, options.discoveryPort));
    if (!sent) return finish(-1, ErrorNumber(sent));
  }

  QueryOptions query = options.query;
  query.localAddress = options.localAddress;
  const Deadline runEnd = Deadline::After(options.runLimitMs);
  int unrecorded = 0;
  const auto waiting = [&] { return std::find(replied.begin(), replied.end(), false); };
  while (waiting() != replied.end() && table.count < kDeviceTableSize &&
         unrecorded < options.unrecordedReplyLimit && !runEnd.Passed()) {
    const int waited = ErrorNumber(socket.WaitReadable(runEnd.Cap(options.quietMs), query.stop));
    if (waited == errors::kTimedOut || waited == errors::kCanceled) break;
    if (waited != 0) return finish(-1, waited);
    std::array<uint8_t, kDiscoveryReplySize> reply{};
    sockaddr_in sender{};
    const Result<size_t> received =
        socket.ReceiveFrom(reply.data(), reply.size(), &sender, 0, nullptr);
    ++seen.datagrams;
    const auto asked = std::find(addresses.begin(), addresses.end(), sender.sin_addr.s_addr);
    const size_t index = static_cast<size_t>(asked - addresses.begin());
    if (!received || asked == addresses.end() || replied[index] ||
        !IsDeviceAddress(sender.sin_addr.s_addr)) {
      ++unrecorded;
      continue;
    }
    replied[index] = true;
    DeviceRecord& record = table.records[static_cast<size_t>(table.count)];
    ApplyDiscoveryReply(reply.data(), *received, sender, record);
    query.exchangeDeadlineMs = runEnd.Cap(options.query.exchangeDeadlineMs);
    if (QueryDeviceInfo(record, query)) {
      state[index] = DirectAnswer::kRecorded;
      ++table.count;
    } else {
      state[index] = DirectAnswer::kQueryFailed;
    }
  }
  return finish(table.count);
}

}  // namespace kesto
