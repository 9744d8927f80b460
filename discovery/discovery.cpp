#include "discovery/discovery.h"

#include <algorithm>
#include <array>

#include "platform/deadline.h"
#include "platform/errors.h"
#include "platform/socket.h"

namespace kesto {
namespace {

constexpr char kDiscoveryRequest[2] = {'L', 'N'};  // no terminator on the wire

using ReplyBuffer = std::array<uint8_t, kDiscoveryReplySize>;

// One datagram into the reply fields of record. An over-long datagram fails
// (and is dropped) rather than being taken cut.
bool ReadDiscoveryReply(Socket& socket, DeviceRecord& record) {
  ReplyBuffer reply{};
  sockaddr_in sender{};
  const IoResult received = socket.ReceiveFrom(reply.data(), reply.size(), &sender, 0, nullptr);
  // No device answers from such an address, and connecting to it could reach
  // this host itself or a whole group.
  if (!received.ok() || !IsDeviceAddress(sender.sin_addr.s_addr)) return false;
  ApplyDiscoveryReply(reply.data(), received.bytes, sender, record);
  return true;
}

}  // namespace

bool IsDeviceAddress(Ipv4Address address) {
  const uint32_t host = ntohl(address);
  const uint32_t first = host >> 24;
  return first != 0 && first < 224;  // not "this network", multicast, reserved or broadcast
}

void ApplyDiscoveryReply(const uint8_t* data, size_t size, const sockaddr_in& sender,
                         DeviceRecord& record) {
  ReplyBuffer bytes{};
  if (data) std::copy_n(data, std::min(size, bytes.size()), bytes.begin());
  record.replyAddress = sender;
  std::copy_n(bytes.begin() + 24, record.hardwareAddress.size(), record.hardwareAddress.begin());
  record.addressText = Ipv4Text(sender.sin_addr.s_addr);
  record.replyByte5High = static_cast<uint8_t>(bytes[5] >> 4);
  record.replyByte6High = static_cast<uint8_t>(bytes[6] >> 4);
  record.replyByte8 = bytes[8];
  record.kindLetter = static_cast<char>(bytes[9]);
}

int DiscoverDevices(DeviceTable& table, const DiscoveryOptions& options) {
  table.count = 0;
  int error = 0;
  Socket socket = Socket::Open(SOCK_DGRAM, error);
  if (error != 0) return -1;
  if (socket.Bind(MakeSocketAddress(options.localAddress, 0)) != 0) return -1;
  // A failure of either shows up as a run without replies.
  socket.SetOption(SOL_SOCKET, SO_BROADCAST, 1);
  socket.SendTo(kDiscoveryRequest, sizeof kDiscoveryRequest,
                MakeSocketAddress(options.broadcastAddress, options.discoveryPort));

  QueryOptions query = options.query;
  query.localAddress = options.localAddress;
  const Deadline runEnd = Deadline::After(options.runLimitMs);
  int unrecorded = 0;
  // A full table ends the run: every further reply could only be dropped.
  while (table.count < kDeviceTableSize && unrecorded < options.unrecordedReplyLimit &&
         !runEnd.Passed()) {
    // Every wait gets the full quiet time, however long the queries took,
    // but none outlasts the run.
    const int waited = socket.WaitReadable(runEnd.Cap(options.quietMs), query.stop);
    if (waited == errors::kTimedOut || waited == errors::kCanceled) break;
    if (waited != 0) return -1;
    // A reply whose receive or query fails leaves its slot to the next reply.
    DeviceRecord& record = table.records[static_cast<size_t>(table.count)];
    query.exchangeDeadlineMs = runEnd.Cap(options.query.exchangeDeadlineMs);
    if (ReadDiscoveryReply(socket, record) && QueryDeviceInfo(record, query))
      ++table.count;
    else
      ++unrecorded;
  }
  return table.count;
}

}  // namespace kesto
