#include "discovery/device_query.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
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
constexpr size_t kVerLineLimit = 31;

// The device expects each request with its terminating NUL; sizeof keeps it.
constexpr char kVerRequest[] = "VER\n";
constexpr char kDumpRequest[] = "DUMP\n";
constexpr char kRssiRequest[] = "RSSI\n";

constexpr std::string_view kSketchKey = "SKETCH VER : ";
constexpr std::string_view kSketchShortKey = "SKETCH VER";
constexpr std::string_view kTextKey = "TEXT VER : ";
constexpr std::string_view kTextShortKey = "TEXT VER";
constexpr std::string_view kRssiKey = "RSSI : ";
constexpr std::string_view kModelKey = "MODEL";
constexpr std::string_view kIdKey = "ID";
// The dump's values stand two characters behind their words.
constexpr size_t kModelValueOffset = 7;
constexpr size_t kIdValueOffset = 4;

bool IsSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The replies are C text on the device's side: a NUL ends them.
std::string_view UpToNul(std::string_view text) {
  return text.substr(0, text.find('\0'));
}

// The text from position at on; empty when the text is shorter.
std::string_view Tail(std::string_view text, size_t at) {
  return at < text.size() ? text.substr(at) : std::string_view{};
}

struct ScannedNumber {
  bool negative = false;
  uint64_t magnitude = 0;  // saturates just above the 32-bit range
};

// White space, an optional sign, then decimal digits up to the first other
// character (none gives 0).
ScannedNumber ScanNumber(std::string_view text) {
  constexpr uint64_t kCeiling = uint64_t{std::numeric_limits<uint32_t>::max()} + 1;
  ScannedNumber number;
  size_t at = 0;
  while (at < text.size() && IsSpace(text[at])) ++at;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) number.negative = text[at++] == '-';
  for (; at < text.size() && IsDigit(text[at]); ++at)
    number.magnitude =
        std::min(number.magnitude * 10 + static_cast<uint64_t>(text[at] - '0'), kCeiling);
  return number;
}

bool HasCrFrom(std::string_view text, size_t at) {
  return at <= text.size() && text.find('\r', at) != std::string_view::npos;
}

// The number behind the long key or, failing that, the short one; always read
// at the key's length from the line's start, where the device puts the key.
std::optional<int32_t> KeyedNumber(std::string_view line, std::string_view key,
                                   std::string_view shortKey) {
  if (line.find(key) != std::string_view::npos) return ReadUnsignedNumber(Tail(line, key.size()));
  if (line.find(shortKey) != std::string_view::npos)
    return ReadUnsignedNumber(Tail(line, shortKey.size()));
  return std::nullopt;
}

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
IoResult ReceiveWithin(Socket& socket, void* buffer, size_t size, const QueryOptions& options,
                       const Deadline& deadline) {
  if (deadline.Passed()) return {0, errors::kTimedOut};
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
    const IoResult received = ReceiveWithin(socket, &byte, 1, options, deadline);
    if (!received.ok() || received.bytes == 0) return std::nullopt;
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
    const IoResult received =
        ReceiveWithin(socket, reply.data() + filled, limit - filled, options, deadline);
    if (!received.ok()) return std::nullopt;
    if (received.bytes == 0) break;
    filled += received.bytes;
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
  if (!connection.SendAllBefore(request, N, deadline, options.stop).ok()) return std::nullopt;
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

int32_t ReadUnsignedNumber(std::string_view text) {
  const ScannedNumber number = ScanNumber(text);
  if (number.magnitude > std::numeric_limits<uint32_t>::max()) return -1;  // 4294967295
  uint32_t value = static_cast<uint32_t>(number.magnitude);
  if (number.negative) value = 0u - value;
  return static_cast<int32_t>(value);
}

int32_t ReadIntNumber(std::string_view text) {
  const ScannedNumber number = ScanNumber(text);
  // Out-of-range values saturate instead of wrapping.
  const int64_t limit = number.negative ? -int64_t{std::numeric_limits<int32_t>::min()}
                                        : int64_t{std::numeric_limits<int32_t>::max()};
  const int64_t magnitude = std::min(static_cast<int64_t>(number.magnitude), limit);
  return static_cast<int32_t>(number.negative ? -magnitude : magnitude);
}

std::optional<VerLines> SplitVerReply(std::string_view reply) {
  const std::string_view text = UpToNul(reply);
  const size_t firstCr = text.find('\r');
  if (firstCr == std::string_view::npos) return std::nullopt;
  const size_t secondCr = text.find('\r', firstCr + 1);
  if (secondCr == std::string_view::npos) return std::nullopt;
  // Line 2 starts behind the CR LF pair; "\r\r" leaves it empty.
  const size_t secondStart = std::min(firstCr + 2, secondCr);
  VerLines lines;
  lines.line1 = text.substr(0, std::min(firstCr, kVerLineLimit));
  lines.line2 = text.substr(secondStart, std::min(secondCr - secondStart, kVerLineLimit));
  return lines;
}

void ApplyVerLines(const VerLines& lines, DeviceRecord& record) {
  if (const auto sketch = KeyedNumber(lines.line1, kSketchKey, kSketchShortKey))
    record.sketchVersion = *sketch;
  if (const auto text = KeyedNumber(lines.line2, kTextKey, kTextShortKey))
    record.textVersion = *text;
}

void ApplyDeviceInfo(const DeviceInfo& info, DeviceRecord& record) {
  if (info.sketchVersion) record.sketchVersion = *info.sketchVersion;
  record.sketchVersionRead = info.sketchVersion.has_value();
  if (info.textVersion) record.textVersion = *info.textVersion;
  record.kind = info.kind;
  record.modelId = info.modelId;
  record.idValue = info.idValue;
}

DumpValues ParseDump(std::string_view dump) {
  const std::string_view text = UpToNul(dump);
  const size_t model = text.find(kModelKey);
  const size_t id = text.find(kIdKey);
  if (model == std::string_view::npos || id == std::string_view::npos) return {};
  const size_t modelAt = model + kModelValueOffset;
  const size_t idAt = id + kIdValueOffset;
  if (!HasCrFrom(text, modelAt) || !HasCrFrom(text, idAt)) return {};
  return {ReadIntNumber(text.substr(modelAt)), ReadIntNumber(text.substr(idAt))};
}

bool ApplyRssiReply(std::string_view reply, int32_t& rssi) {
  const std::string_view text = UpToNul(reply);
  const size_t cr = text.find('\r');
  if (cr == std::string_view::npos) return false;
  const std::string_view line = text.substr(0, cr);
  if (line.find(kRssiKey) != std::string_view::npos)
    rssi = ReadUnsignedNumber(Tail(line, kRssiKey.size()));
  return true;
}

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
  info.sketchVersion = KeyedNumber(lines->line1, kSketchKey, kSketchShortKey);
  info.textVersion = KeyedNumber(lines->line2, kTextKey, kTextShortKey);
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
