#include "sim/hostile.h"

#include <algorithm>
#include <array>

#include "sim/device_protocol.h"

namespace kesto::sim {
namespace {

size_t Pick(Random& random, size_t low, size_t high) {
  return std::uniform_int_distribution<size_t>(low, high)(random);
}

bool Chance(Random& random, int percent) {
  return static_cast<int>(Pick(random, 0, 99)) < percent;
}

template <typename T, size_t N>
T OneOf(Random& random, const std::array<T, N>& choices) {
  return choices[Pick(random, 0, N - 1)];
}

template <size_t N>
std::string OneOf(Random& random, const std::array<std::string_view, N>& choices) {
  return std::string(choices[Pick(random, 0, N - 1)]);
}

// Pieces that parsers trip over: keys, signs, huge numbers, format
// directives, terminal controls, line ends and NULs.
constexpr std::array<std::string_view, 24> kBait = {"SKETCH VER : ",
                                                    "SKETCH VER",
                                                    "TEXT VER : ",
                                                    "TEXT VER",
                                                    "MODEL",
                                                    "ID",
                                                    "RSSI : ",
                                                    "99999999999999999999",
                                                    "-",
                                                    "+",
                                                    "-2147483649",
                                                    "4294967296",
                                                    "%s%s%s%n",
                                                    "%x%x%x",
                                                    "\x1b[2J",
                                                    "\x1b]0;x\a",
                                                    "\r",
                                                    "\n",
                                                    "\r\n",
                                                    std::string_view("\0", 1),
                                                    "  ",
                                                    "0x1F",
                                                    "\xff\xfe",
                                                    "OK"};

std::string BaitText(Random& random, size_t pieces) {
  std::string text;
  for (size_t i = 0; i < pieces; ++i) {
    if (Chance(random, 30))
      text += RandomBytes(random, 0, 8);
    else
      text += OneOf(random, kBait);
  }
  return text;
}

std::string HexText(Random& random, size_t length) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text(length, '0');
  for (char& c : text) c = kHex[Pick(random, 0, 15)];
  return text;
}

}  // namespace

Random MakeRandom(uint32_t seed, uint32_t stream) {
  std::seed_seq sequence{seed, stream, 0x4b45u};
  return Random(sequence);
}

std::string RandomBytes(Random& random, size_t low, size_t high) {
  std::string bytes(Pick(random, low, high), '\0');
  for (char& byte : bytes) byte = static_cast<char>(Pick(random, 0, 255));
  return bytes;
}

std::string WithoutOk(std::string text) {
  for (size_t at = 0; (at = text.find("OK", at)) != std::string::npos;) text[at] = '0';
  return text;
}

std::vector<uint8_t> RandomDiscoveryReply(Random& random, const DeviceConfig& device) {
  const std::string noise = RandomBytes(random, 0, 64);
  std::vector<uint8_t> reply(noise.begin(), noise.end());
  if (Chance(random, 50)) {
    // Looks like a device's as far as the writer reads it, with noise around.
    const std::vector<uint8_t> proper = DiscoveryReplyBytes(device);
    if (reply.size() < 10) reply.resize(Pick(random, 10, 30));
    reply[9] = proper.size() > 9 ? proper[9] : static_cast<uint8_t>(device.kindLetter);
    if (reply.size() >= 30)
      std::copy(device.hardwareAddress.begin(), device.hardwareAddress.end(), reply.begin() + 24);
  }
  return reply;
}

std::string RandomInfoText(Random& random, std::string_view proper) {
  const std::string whole(proper);
  switch (Pick(random, 0, 6)) {
    case 0:  // cut anywhere
      return whole.substr(0, Pick(random, 0, whole.size()));
    case 1: {  // some bytes overwritten
      std::string text = whole;
      for (size_t n = Pick(random, 1, 8); n > 0 && !text.empty(); --n)
        text[Pick(random, 0, text.size() - 1)] = static_cast<char>(Pick(random, 0, 255));
      return text;
    }
    case 2:  // the proper text, then a flood past every buffer
      return whole + RandomBytes(random, 200, 6000);
    case 3:  // one very long line
      return std::string(Pick(random, 40, 5000), static_cast<char>(Pick(random, 32, 126))) +
             "\r\n" + whole;
    case 4:  // keys and numbers that parsers trip over
      return BaitText(random, Pick(random, 1, 40));
    case 5:  // proper keys, absurd values
      return "SKETCH VER : " + OneOf(random, kBait) + "\r\nTEXT VER : " + OneOf(random, kBait) +
             "\r\nMODEL: " + OneOf(random, kBait) + "\r\nID: " + OneOf(random, kBait) +
             "\r\nRSSI : " + OneOf(random, kBait) + "\r\n";
    default:  // pure noise
      return RandomBytes(random, 0, 600);
  }
}

std::string RandomAnswer(Random& random) {
  switch (Pick(random, 0, 7)) {
    case 0:
      return RandomBytes(random, 0, 37);
    case 1:
      return "OK" + RandomBytes(random, 0, 35);
    case 2:
      return "AUTH" + RandomBytes(random, 0, 33);
    case 3:  // a nonce of the wrong length (past 37 bytes the datagram is too long)
      return "AUTH " + HexText(random, Pick(random, 0, 40));
    case 4:  // too long for the writer's buffer, whatever it begins with
      return (Chance(random, 50) ? "OK" : "AUTH ") + RandomBytes(random, 36, 1400);
    case 5:
      return {};
    case 6:
      return BaitText(random, Pick(random, 1, 6)).substr(0, 37);
    default:
      return "AUTH " + BaitText(random, Pick(random, 1, 6)).substr(0, 32);
  }
}

std::string RandomAuthReply(Random& random) {
  switch (Pick(random, 0, 4)) {
    case 0:
      return RandomBytes(random, 0, 32);
    case 1:
      return "OK" + RandomBytes(random, 0, 30);
    case 2:
      return "OK" + RandomBytes(random, 31, 1400);  // too long
    case 3:
      return {};
    default:
      return BaitText(random, Pick(random, 1, 6)).substr(0, 32);
  }
}

std::string RandomAck(Random& random) {
  return WithoutOk(Chance(random, 50) ? RandomBytes(random, 0, 8)
                                      : BaitText(random, Pick(random, 1, 3)));
}

std::string RandomFinal(Random& random) {
  switch (Pick(random, 0, 4)) {
    case 0:
      return WithoutOk(RandomBytes(random, 0, 100));
    case 1:
      return WithoutOk(RandomBytes(random, 0, 20)) + "OK" + RandomBytes(random, 0, 20);
    case 2:
      return WithoutOk(BaitText(random, Pick(random, 1, 12)));
    case 3:
      return WithoutOk(std::string(Pick(random, 60, 3000), 'E'));
    default:
      return "OK";
  }
}

std::vector<DeviceConfig> HostileDevices(uint32_t seed, size_t count, int firstHost,
                                         const HostileTiming& timing) {
  std::vector<DeviceConfig> devices;
  for (size_t i = 0; i < count; ++i) {
    Random random = MakeRandom(seed, static_cast<uint32_t>(i));
    DeviceConfig device;
    const long host = firstHost + static_cast<long>(i);
    device.address = "127.0." + std::to_string(host / 256) + "." + std::to_string(host % 256);
    device.kindLetter = OneOf(random, std::array<char, 6>{'B', 'L', 'T', 'W', 'B', '?'});
    device.hardwareAddress = {0x02,
                              0x4b,
                              0x00,
                              static_cast<uint8_t>(seed & 0xff),
                              static_cast<uint8_t>(i >> 8),
                              static_cast<uint8_t>(i)};
    device.sketchVersion = static_cast<int>(Pick(random, 80, 140));
    device.textVersion = static_cast<int>(Pick(random, 0, 9));
    device.model = Chance(random, 50) ? 0 : static_cast<int>(Pick(random, 0, 24));
    device.id = Chance(random, 10) ? 15 : static_cast<int>(Pick(random, 0, 20));
    device.rssi = -static_cast<int>(Pick(random, 30, 90));
    if (Chance(random, 40)) device.password = "PELICANUS";
    DeviceFaults& f = device.faults;
    f.seed = static_cast<uint32_t>(random());
    if (Chance(random, 25)) {  // a well-behaved one
      devices.push_back(device);
      continue;
    }

    switch (Pick(random, 0, 9)) {  // discovery responder
      case 0:
        f.randomDiscoveryReply = true;
        break;
      case 1:
        f.discoveryFromStranger = true;
        break;
      case 2:
        f.floodReplies = timing.floodReplies;
        f.floodIntervalMs = timing.floodIntervalMs;
        f.floodFromPhantoms = Chance(random, 50);
        break;
      case 3:
        f.replyTwice = true;
        break;
      case 4:
        f.replyLength = Pick(random, 0, 40);
        break;
      default:
        break;
    }
    switch (Pick(random, 0, 11)) {  // information service
      case 0:
      case 1:
        f.randomInfoReply = true;
        break;
      case 2:
        f.dripMs = timing.dripMs;
        break;
      case 3:
        f.infoHang = true;
        break;
      case 4:
        f.infoReset = true;
        break;
      case 5:
        f.verWithoutCr = true;
        break;
      case 6:
        f.verOneLineThenClose = true;
        break;
      default:
        break;
    }
    switch (Pick(random, 0, 21)) {  // update receiver
      case 0:
        f.randomAnswer = true;
        break;
      case 1:
        f.randomAuthReply = true;
        device.password = "PELICANUS";
        break;
      case 2:
        f.randomAcks = true;
        break;
      case 3:
        f.randomFinal = true;
        break;
      case 4:
        f.dripMs = timing.dripMs;
        break;
      case 5:
        f.answerFromOtherPort = true;
        break;
      case 6:
        f.answerFromStranger = true;
        break;
      case 7:
        f.resetShortBytes = static_cast<long>(Pick(random, 1, 6000));
        break;
      case 8:
        // Short by a few bytes, by whole chunks, or anywhere: the first hits the
        // last chunk of many image sizes.
        f.closeShortBytes = static_cast<long>(Chance(random, 35)   ? Pick(random, 1, 8)
                                              : Chance(random, 50) ? 1024 * Pick(random, 1, 5)
                                                                   : Pick(random, 1, 6000));
        break;
      case 9:
        f.ackPieceSize = Pick(random, 1, 700);
        break;
      case 10:
        f.splitAcks = true;
        break;
      case 11:
        f.finalGluedToAck = true;
        break;
      case 12:
        f.stallAfterBytes = Chance(random, 50) ? 0 : static_cast<long>(Pick(random, 1, 6000));
        break;
      case 13:
        f.neverConnect = true;
        break;
      case 14:
        f.updateNoAnswer = true;
        break;
      case 15:
        f.finalError = true;
        break;
      case 16:
        f.closeInsteadOfFinal = true;
        break;
      case 17:
        f.strangerFirst = true;
        break;
      case 18:
        f.answerOnlyInvitation = static_cast<int>(Pick(random, 2, 4));
        break;
      default:
        break;
    }
    devices.push_back(device);
  }
  return devices;
}

}  // namespace kesto::sim
