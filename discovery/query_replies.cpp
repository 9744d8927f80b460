#include "discovery/query_replies.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace kesto {
namespace {

constexpr size_t kVerLineLimit = 31;

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

void ApplyVerLines(const VerLines& lines, DeviceInfo& info) {
  info.sketchVersion = KeyedNumber(lines.line1, kSketchKey, kSketchShortKey);
  info.textVersion = KeyedNumber(lines.line2, kTextKey, kTextShortKey);
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

}  // namespace kesto
