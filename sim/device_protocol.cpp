#include "sim/device_protocol.h"

#include <algorithm>
#include <random>

#include "platform/format.h"
#include "platform/sha256.h"
#include "update/md5.h"

namespace kesto::sim {
namespace {

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::string LowerHex(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
    return c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return lower;
}

// A run of 1..10 decimal digits with no sign and no leading zero (a lone "0" aside).
std::optional<uint64_t> StrictDecimal(std::string_view text) {
  if (text.size() > 10 || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  return ParseDecimal(text, UINT64_MAX);
}

// Splits "a b c\n" into exactly count fields separated by single spaces.
std::optional<std::vector<std::string_view>> SplitLine(std::string_view datagram, size_t count) {
  if (datagram.empty() || datagram.back() != '\n') return std::nullopt;
  std::string_view rest = datagram.substr(0, datagram.size() - 1);
  std::vector<std::string_view> fields;
  for (;;) {
    const auto space = rest.find(' ');
    fields.push_back(rest.substr(0, space));
    if (fields.back().empty() || fields.size() > count) return std::nullopt;
    if (space == std::string_view::npos) break;
    rest = rest.substr(space + 1);
  }
  if (fields.size() != count) return std::nullopt;
  return fields;
}

bool IsDigestText(std::string_view text, size_t digits = 32) {
  return text.size() == digits && std::all_of(text.begin(), text.end(), IsHex);
}

std::string Md5Text(std::string_view text) {
  const Result<Md5Digest> digest = StringMd5(text.data(), text.size());
  return digest ? DigestText(*digest) : std::string();
}

std::string HexOf(const Sha256Digest& bytes) {
  std::string text;
  for (const uint8_t byte : bytes) text += Format("%02x", byte);
  return text;
}

std::string Sha256Text(std::string_view text) {
  const Result<Sha256Digest> digest = Sha256(text.data(), text.size());
  return digest ? HexOf(*digest) : std::string();
}

}  // namespace

std::vector<uint8_t> DiscoveryReplyBytes(const DeviceConfig& device) {
  // Bytes the writer does not read still look like a device's: a small header,
  // firmware nibbles, the kind letter, a short name and the hardware address.
  std::vector<uint8_t> reply(30, 0);
  reply[3] = 0xf7;
  reply[5] = 0x10;
  reply[6] = 0x20;
  reply[8] = 0x01;
  reply[9] = static_cast<uint8_t>(device.kindLetter);
  const std::string name = Format("KESTO-%c", device.kindLetter);
  std::copy_n(name.begin(), std::min<size_t>(name.size(), 14), reply.begin() + 10);
  std::copy(device.hardwareAddress.begin(), device.hardwareAddress.end(), reply.begin() + 24);
  reply.resize(device.faults.replyLength, 0);
  return reply;
}

InfoRequest ParseInfoRequest(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line == "VER") return InfoRequest::kVer;
  if (line == "DUMP") return InfoRequest::kDump;
  if (line == "RSSI") return InfoRequest::kRssi;
  return InfoRequest::kUnknown;
}

std::string VerText(const DeviceConfig& device) {
  const DeviceFaults& faults = device.faults;
  const char* end = faults.verWithoutCr ? "\n" : "\r\n";
  const std::string first = faults.verWithoutKeys
                                ? Format("FIRMWARE %d%s", device.sketchVersion, end)
                                : Format("SKETCH VER : %d%s", device.sketchVersion, end);
  if (faults.verOneLineThenClose) return first;
  const std::string second = faults.verWithoutKeys
                                 ? Format("REVISION %d%s", device.textVersion, end)
                                 : Format("TEXT VER : %d%s", device.textVersion, end);
  return first + second;
}

std::string DumpText(const DeviceConfig& device) {
  // The writer takes the first "MODEL" and the first "ID" anywhere in the text,
  // so no other line may carry those letters (no "SSID", "VALID", ...).
  const auto& mac = device.hardwareAddress;
  std::string text = "=== KESTO DUMP ===\r\n";
  if (!device.faults.dumpWithoutModel) text += Format("MODEL: %d\r\n", device.model);
  if (!device.faults.dumpWithoutId) text += Format("ID: %d\r\n", device.id);
  text += Format("KIND : %c\r\n", device.kindLetter);
  text += Format("IP : %s\r\n", device.address.c_str());
  text += Format("MAC : %02X-%02X-%02X-%02X-%02X-%02X\r\n", mac[0], mac[1], mac[2], mac[3], mac[4],
                 mac[5]);
  text += Format("SKETCH VER : %d\r\nTEXT VER : %d\r\n", device.sketchVersion, device.textVersion);
  text += Format("MODE : %s\r\n", device.id == 15 ? "TMODE" : "RUN");
  text += "=== END ===\r\n";
  return text;
}

std::string RssiText(const DeviceConfig& device) {
  if (device.faults.rssiMissing) return "RSSI N/A\r\n";
  return Format("RSSI : %d\r\n", device.rssi);
}

std::optional<Invitation> ParseInvitation(std::string_view datagram) {
  const auto fields = SplitLine(datagram, 4);
  if (!fields || (*fields)[0] != "0") return std::nullopt;
  const auto port = StrictDecimal((*fields)[1]);
  const auto size = StrictDecimal((*fields)[2]);
  if (!port || *port == 0 || *port > 65535) return std::nullopt;
  if (!size || *size == 0 || *size > 0x7fffffff) return std::nullopt;
  if (!IsDigestText((*fields)[3])) return std::nullopt;
  return Invitation{static_cast<uint16_t>(*port), static_cast<uint32_t>(*size),
                    LowerHex((*fields)[3])};
}

std::optional<AuthMessage> ParseAuthMessage(std::string_view datagram) {
  const auto fields = SplitLine(datagram, 3);
  if (!fields || (*fields)[0] != "200") return std::nullopt;
  const size_t digits = (*fields)[1].size() == 64 ? 64 : 32;
  if (!IsDigestText((*fields)[1], digits) || !IsDigestText((*fields)[2], digits))
    return std::nullopt;
  return AuthMessage{LowerHex((*fields)[1]), LowerHex((*fields)[2])};
}

size_t NonceDigits(AuthScheme scheme) {
  return scheme == AuthScheme::kMd5 ? 32 : 64;
}

std::string ExpectedAuthResponse(AuthScheme scheme, std::string_view password,
                                 std::string_view nonce, std::string_view cnonce) {
  if (scheme != AuthScheme::kMd5) {
    const std::string secret =
        scheme == AuthScheme::kSha256 ? Sha256Text(password) : Md5Text(password);
    const std::string salt = std::string(nonce) + ":" + std::string(cnonce);
    if (secret.empty()) return {};
    const Result<Sha256Digest> key = Pbkdf2HmacSha256(secret, salt, 10000);
    return key ? Sha256Text(HexOf(*key) + ":" + salt) : std::string();
  }
  const std::string passwordDigest = Md5Text(password);
  if (passwordDigest.empty()) return {};
  std::string text = passwordDigest;
  text.append(":").append(nonce).append(":").append(cnonce);
  return Md5Text(text);
}

std::string NewNonce(size_t digits) {
  std::random_device source;
  std::string nonce;
  while (nonce.size() < digits) nonce += Format("%08x", static_cast<unsigned>(source()));
  return nonce;
}

}  // namespace kesto::sim
