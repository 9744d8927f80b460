#include "discovery/device_query.h"

#include <chrono>
#include <cstdint>
#include <thread>

#include "platform/deadline.h"
#include "platform/errors.h"
#include "platform/socket.h"
#include "platform/stop_signal.h"

namespace kesto {
namespace {

constexpr size_t kVerReplyLimit = 256;
constexpr size_t kDumpReplyLimit = 4096;
constexpr size_t kRssiReplyLimit = 256;

// The device expects each request with its terminating NUL; sizeof keeps it.
constexpr char kVerRequest[] = "VER\n";
constexpr char kDumpRequest[] = "DUMP\n";
constexpr char kRssiRequest[] = "RSSI\n";

// One exchange's sockets. The anchor is bound to the chosen local address and
// carries no traffic: its bind fails, and with it the exchange, when that
// address is not (or no longer) this host's. The connection is left unbound.
struct QueryConnection {
  Socket anchor;
  Socket connection;
};

std::optional<QueryConnection> OpenQueryConnection(const std::string& addressText,
                                                   const QueryOptions& options,
                                                   const Deadline& deadline) {
  QueryConnection sockets;
  Result<Socket> anchor = Socket::Open(SOCK_STREAM);
  if (!anchor || !anchor->Bind(MakeSocketAddress(options.localAddress, 0))) return std::nullopt;
  sockets.anchor = std::move(*anchor);
  const std::optional<Ipv4Address> device = ParseIpv4(addressText);
  if (!device) return std::nullopt;
  Result<Socket> connection = Socket::Open(SOCK_STREAM);
  if (!connection) return std::nullopt;
  sockets.connection = std::move(*connection);
  const sockaddr_in to = MakeSocketAddress(*device, options.port);
  if (!sockets.connection.Connect(to, deadline.Cap(options.connectTimeoutMs), options.stop))
    return std::nullopt;
  return sockets;
}

// One receive of the exchange: at most the receive time-out, never past the
// exchange's deadline.
Result<size_t> ReceiveWithin(Socket& socket, void* buffer, size_t size, const QueryOptions& options,
                             const Deadline& deadline) {
  if (deadline.Passed()) return Failure(SocketError(errors::kTimedOut));
  return socket.Receive(buffer, size, deadline.Cap(options.receiveTimeoutMs), options.stop);
}

// Byte by byte until the lineFeeds-th LF, at most limit bytes, so nothing the
// device sends behind that LF is taken. A close before it fails like an error.
std::optional<std::string> ReceiveLines(Socket& socket, int lineFeeds, size_t limit,
                                        const QueryOptions& options, const Deadline& deadline) {
  std::string reply;
  int seen = 0;
  while (reply.size() < limit) {
    char byte = 0;
    const Result<size_t> received = ReceiveWithin(socket, &byte, 1, options, deadline);
    if (!received || *received == 0) return std::nullopt;
    reply.push_back(byte);
    if (byte == '\n' && ++seen == lineFeeds) return reply;
  }
  return std::nullopt;
}

// Everything up to the device's close, at most limit bytes.
std::optional<std::string> ReceiveUntilClose(Socket& socket, size_t limit,
                                             const QueryOptions& options,
                                             const Deadline& deadline) {
  std::string reply(limit, '\0');
  size_t filled = 0;
  while (filled < limit) {
    const Result<size_t> received =
        ReceiveWithin(socket, reply.data() + filled, limit - filled, options, deadline);
    if (!received) return std::nullopt;
    if (*received == 0) break;
    filled += *received;
  }
  reply.resize(filled);
  return reply;
}

// One request on a connection of its own, within the exchange deadline; the
// sockets close on return.
template <size_t N, typename ReadReply>
std::optional<std::string> Exchange(const std::string& addressText, const char (&request)[N],
                                    const QueryOptions& options, ReadReply readReply) {
  const Deadline deadline = Deadline::After(options.exchangeDeadlineMs);
  std::optional<QueryConnection> sockets = OpenQueryConnection(addressText, options, deadline);
  if (!sockets) return std::nullopt;
  Socket& connection = sockets->connection;
  if (!connection.SendAllBefore(request, N, deadline, options.stop)) return std::nullopt;
  return readReply(connection, deadline);
}

// The device needs a moment between the VER and the DUMP connection. False
// when a stop came first.
bool PauseBetweenExchanges(const QueryOptions& options) {
  if (options.stop) {
    if (options.pauseMs <= 0) return !options.stop->Triggered();
    return options.stop->SleepFor(options.pauseMs);
  }
  if (options.pauseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(options.pauseMs));
  return true;
}

}  // namespace

bool QueryDeviceInfo(const std::string& addressText, char kindLetter, DeviceInfo& info,
                     const QueryOptions& options) {
  info = DeviceInfo{};
  const auto ver = Exchange(addressText, kVerRequest, options,
                            [&](Socket& connection, const Deadline& deadline) {
                              return ReceiveLines(connection, 2, kVerReplyLimit, options, deadline);
                            });
  if (!ver) return false;
  const std::optional<VerLines> lines = SplitVerReply(*ver);
  if (!lines) return false;
  ApplyVerLines(*lines, info);
  info.kind = KindFromLetter(kindLetter);

  if (!PauseBetweenExchanges(options)) return false;

  const auto dump = Exchange(
      addressText, kDumpRequest, options, [&](Socket& connection, const Deadline& deadline) {
        return ReceiveUntilClose(connection, kDumpReplyLimit, options, deadline);
      });
  if (!dump) return false;
  const DumpValues values = ParseDump(*dump);
  info.modelId = values.modelId;
  info.idValue = values.idValue;
  return true;
}

bool QueryDeviceInfo(DeviceRecord& record, const QueryOptions& options) {
  DeviceInfo info;
  const bool ok = QueryDeviceInfo(record.addressText, record.kindLetter, info, options);
  ApplyDeviceInfo(info, record);
  return ok;
}

bool QueryRssi(const DeviceRecord& record, int32_t& rssi, const QueryOptions& options) {
  const auto reply = Exchange(
      record.addressText, kRssiRequest, options, [&](Socket& connection, const Deadline& deadline) {
        return ReceiveLines(connection, 1, kRssiReplyLimit, options, deadline);
      });
  return reply && ApplyRssiReply(*reply, rssi);
}

}  // namespace kesto
