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

Result<QueryConnection> OpenQueryConnection(const std::string& addressText,
                                            const QueryOptions& options, const Deadline& deadline) {
  QueryConnection sockets;
  Result<Socket> anchor = Socket::Open(SOCK_STREAM);
  if (!anchor) return Failure(anchor.error());
  if (const Result<void> bound = anchor->Bind(MakeSocketAddress(options.localAddress, 0)); !bound)
    return Failure(bound.error());
  sockets.anchor = std::move(*anchor);
  const std::optional<Ipv4Address> device = ParseIpv4(addressText);
  if (!device) return Failure(SocketError(errors::kInvalidArgument));
  Result<Socket> connection = Socket::Open(SOCK_STREAM);
  if (!connection) return Failure(connection.error());
  sockets.connection = std::move(*connection);
  const sockaddr_in to = MakeSocketAddress(*device, options.port);
  if (const Result<void> connected =
          sockets.connection.Connect(to, deadline.Cap(options.connectTimeoutMs), options.stop);
      !connected)
    return Failure(connected.error());
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
Result<std::string> ReceiveLines(Socket& socket, int lineFeeds, size_t limit,
                                 const QueryOptions& options, const Deadline& deadline) {
  std::string reply;
  int seen = 0;
  while (reply.size() < limit) {
    char byte = 0;
    const Result<size_t> received = ReceiveWithin(socket, &byte, 1, options, deadline);
    if (!received) return Failure(received.error());
    if (*received == 0) return Failure(ReplyError(ReplyFault::kCutShort));
    reply.push_back(byte);
    if (byte == '\n' && ++seen == lineFeeds) return reply;
  }
  return Failure(ReplyError(ReplyFault::kMalformed));
}

// Everything up to the device's close, at most limit bytes.
Result<std::string> ReceiveUntilClose(Socket& socket, size_t limit, const QueryOptions& options,
                                      const Deadline& deadline) {
  std::string reply(limit, '\0');
  size_t filled = 0;
  while (filled < limit) {
    const Result<size_t> received =
        ReceiveWithin(socket, reply.data() + filled, limit - filled, options, deadline);
    if (!received) return Failure(received.error());
    if (*received == 0) break;
    filled += *received;
  }
  reply.resize(filled);
  return reply;
}

// One request on a connection of its own, within the exchange deadline; the
// sockets close on return.
template <size_t N, typename ReadReply>
Result<std::string> Exchange(const std::string& addressText, const char (&request)[N],
                             const QueryOptions& options, ReadReply readReply) {
  const Deadline deadline = Deadline::After(options.exchangeDeadlineMs);
  Result<QueryConnection> sockets = OpenQueryConnection(addressText, options, deadline);
  if (!sockets) return Failure(sockets.error());
  Socket& connection = sockets->connection;
  const Result<size_t> sent = connection.SendAllBefore(request, N, deadline, options.stop);
  if (!sent) return Failure(sent.error());
  return readReply(connection, deadline);
}

// The device needs a moment between the VER and the DUMP connection.
// errors::kCanceled when a stop came first.
Result<void> PauseBetweenExchanges(const QueryOptions& options) {
  bool stopped = false;
  if (options.stop) {
    if (options.pauseMs <= 0)
      stopped = options.stop->Triggered();
    else
      stopped = !options.stop->SleepFor(options.pauseMs);
  } else if (options.pauseMs > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(options.pauseMs));
  }
  if (stopped) return Failure(SocketError(errors::kCanceled));
  return {};
}

class ReplyFaults : public std::error_category {
 public:
  const char* name() const noexcept override { return "device reply"; }
  std::string message(int fault) const override {
    return static_cast<ReplyFault>(fault) == ReplyFault::kCutShort
               ? "the device closed the connection before its reply was complete"
               : "the device's reply is not of the expected form";
  }
};

}  // namespace

std::error_code ReplyError(ReplyFault fault) {
  static const ReplyFaults category;
  return {static_cast<int>(fault), category};
}

Result<void> QueryDeviceInfo(const std::string& addressText, char kindLetter, DeviceInfo& info,
                             const QueryOptions& options) {
  info = DeviceInfo{};
  const auto ver = Exchange(addressText, kVerRequest, options,
                            [&](Socket& connection, const Deadline& deadline) {
                              return ReceiveLines(connection, 2, kVerReplyLimit, options, deadline);
                            });
  if (!ver) return Failure(ver.error());
  const std::optional<VerLines> lines = SplitVerReply(*ver);
  if (!lines) return Failure(ReplyError(ReplyFault::kMalformed));
  ApplyVerLines(*lines, info);
  info.kind = KindFromLetter(kindLetter);

  if (const Result<void> paused = PauseBetweenExchanges(options); !paused) return paused;

  const auto dump = Exchange(
      addressText, kDumpRequest, options, [&](Socket& connection, const Deadline& deadline) {
        return ReceiveUntilClose(connection, kDumpReplyLimit, options, deadline);
      });
  if (!dump) return Failure(dump.error());
  const DumpValues values = ParseDump(*dump);
  info.modelId = values.modelId;
  info.idValue = values.idValue;
  return {};
}

Result<void> QueryDeviceInfo(DeviceRecord& record, const QueryOptions& options) {
  DeviceInfo info;
  Result<void> queried = QueryDeviceInfo(record.addressText, record.kindLetter, info, options);
  ApplyDeviceInfo(info, record);
  return queried;
}

Result<void> QueryRssi(const DeviceRecord& record, int32_t& rssi, const QueryOptions& options) {
  const auto reply = Exchange(
      record.addressText, kRssiRequest, options, [&](Socket& connection, const Deadline& deadline) {
        return ReceiveLines(connection, 1, kRssiReplyLimit, options, deadline);
      });
  if (!reply) return Failure(reply.error());
  if (!ApplyRssiReply(*reply, rssi)) return Failure(ReplyError(ReplyFault::kMalformed));
  return {};
}

}  // namespace kesto
