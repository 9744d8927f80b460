#pragma once

// What a simulated device says, as pure functions over its configuration, and
// the parsers of what the writer sends to its update receiver.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/simulator.h"

namespace kesto::sim {

// The answer to "LN": faults.replyLength bytes (30 normally), the kind letter
// at byte 9 and the hardware address at bytes 24..29 when the length reaches them.
std::vector<uint8_t> DiscoveryReplyBytes(const DeviceConfig& device);

enum class InfoRequest { kVer, kDump, kRssi, kUnknown };

// The request line without its LF (a trailing CR is tolerated).
InfoRequest ParseInfoRequest(std::string_view line);

// One text per request, shaped by the device's faults. VerText with
// verOneLineThenClose holds the first line only.
std::string VerText(const DeviceConfig& device);
std::string DumpText(const DeviceConfig& device);
std::string RssiText(const DeviceConfig& device);

// "0 <port> <size> <md5>\n", nothing more and nothing less.
struct Invitation {
  uint16_t port = 0;
  uint32_t size = 0;
  std::string md5;  // 32 lowercase hexadecimal digits
};
std::optional<Invitation> ParseInvitation(std::string_view datagram);

// "200 <cnonce> <response>\n" with two hexadecimal fields of 32 digits, or of 64.
struct AuthMessage {
  std::string cnonce;    // lowercase
  std::string response;  // lowercase
};
std::optional<AuthMessage> ParseAuthMessage(std::string_view datagram);

// MD5: md5hex(md5hex(password) ":" nonce ":" cnonce). SHA-256:
// sha256hex(K ":" nonce ":" cnonce) with K the hex of PBKDF2-HMAC-SHA256 of the
// stored secret (sha256hex or md5hex of the password) salted with
// nonce ":" cnonce, 10000 rounds. Empty when no digest can be made.
std::string ExpectedAuthResponse(AuthScheme scheme, std::string_view password,
                                 std::string_view nonce, std::string_view cnonce);

// The nonce's length, in digits, that the scheme sets.
size_t NonceDigits(AuthScheme scheme);

// digits (a multiple of 8) lowercase hexadecimal digits from the system's random source.
std::string NewNonce(size_t digits = 32);

}  // namespace kesto::sim
