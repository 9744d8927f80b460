// Parsing of the one-line device descriptions given on the command line, in a
// config file or by tests.

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/format.h"
#include "platform/socket.h"
#include "sim/simulator.h"

namespace kesto::sim {
namespace {

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

// Whole text as a decimal number within [low, high]; an optional leading '-'.
template <typename T>
std::optional<T> ParseNumber(std::string_view text, T low, T high) {
  long long value = 0;
  const char* begin = text.data();
  const char* end = text.data() + text.size();
  const auto [where, error] = std::from_chars(begin, end, value);
  if (text.empty() || error != std::errc() || where != end) return std::nullopt;
  if (value < static_cast<long long>(low) || value > static_cast<long long>(high))
    return std::nullopt;
  return static_cast<T>(value);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "02-00-00-00-00-07" or "02:00:00:00:00:07".
std::optional<std::array<uint8_t, 6>> ParseMac(std::string_view text) {
  if (text.size() != 17) return std::nullopt;
  std::array<uint8_t, 6> mac{};
  for (size_t i = 0; i < mac.size(); ++i) {
    const size_t at = i * 3;
    const int high = HexValue(text[at]);
    const int low = HexValue(text[at + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    if (i + 1 < mac.size() && text[at + 2] != '-' && text[at + 2] != ':') return std::nullopt;
    mac[i] = static_cast<uint8_t>(high * 16 + low);
  }
  return mac;
}

bool* BooleanFault(DeviceFaults& faults, std::string_view name) {
  if (name == "noDiscoveryReply") return &faults.noDiscoveryReply;
  if (name == "noBroadcastReply") return &faults.noBroadcastReply;
  if (name == "replyTwice") return &faults.replyTwice;
  if (name == "verWithoutKeys") return &faults.verWithoutKeys;
  if (name == "verWithoutCr") return &faults.verWithoutCr;
  if (name == "verOneLineThenClose") return &faults.verOneLineThenClose;
  if (name == "dumpWithoutModel") return &faults.dumpWithoutModel;
  if (name == "dumpWithoutId") return &faults.dumpWithoutId;
  if (name == "infoHang") return &faults.infoHang;
  if (name == "rssiMissing") return &faults.rssiMissing;
  if (name == "updateNoAnswer") return &faults.updateNoAnswer;
  if (name == "junkAnswer") return &faults.junkAnswer;
  if (name == "rejectAuth") return &faults.rejectAuth;
  if (name == "noAuthReply") return &faults.noAuthReply;
  if (name == "neverConnect") return &faults.neverConnect;
  if (name == "closeInsteadOfFinal") return &faults.closeInsteadOfFinal;
  if (name == "strangerFirst") return &faults.strangerFirst;
  if (name == "finalError") return &faults.finalError;
  if (name == "randomDiscoveryReply") return &faults.randomDiscoveryReply;
  if (name == "randomInfoReply") return &faults.randomInfoReply;
  if (name == "randomAnswer") return &faults.randomAnswer;
  if (name == "randomAuthReply") return &faults.randomAuthReply;
  if (name == "randomAcks") return &faults.randomAcks;
  if (name == "randomFinal") return &faults.randomFinal;
  if (name == "infoReset") return &faults.infoReset;
  if (name == "discoveryFromStranger") return &faults.discoveryFromStranger;
  if (name == "answerFromOtherPort") return &faults.answerFromOtherPort;
  if (name == "answerFromStranger") return &faults.answerFromStranger;
  if (name == "splitAcks") return &faults.splitAcks;
  if (name == "finalGluedToAck") return &faults.finalGluedToAck;
  if (name == "floodFromPhantoms") return &faults.floodFromPhantoms;
  return nullptr;
}

// Longest time a device may be told to wait anywhere: ten minutes.
constexpr int kMaxDelayMs = 600000;
// Most replies one device floods a search with.
constexpr int kMaxFloodReplies = 1000000;

// "name:number" for the numeric faults. Empty result on success.
std::string ApplyNumericFault(DeviceFaults& faults, std::string_view name,
                              std::string_view number) {
  const auto bad = [&] {
    return Format("bad number '%.*s' for fault %.*s", static_cast<int>(number.size()),
                  number.data(), static_cast<int>(name.size()), name.data());
  };
  const auto setInt = [&](int& field, int low, int high) {
    const auto value = ParseNumber<int>(number, low, high);
    if (!value) return bad();
    field = *value;
    return std::string();
  };
  if (name == "replyLength") {
    const auto value = ParseNumber<size_t>(number, 0, 1400);
    if (!value) return bad();
    faults.replyLength = *value;
    return {};
  }
  const auto setLong = [&](long& field, long low) {
    const auto value = ParseNumber<long>(number, low, LONG_MAX);
    if (!value) return bad();
    field = *value;
    return std::string();
  };
  if (name == "stallAfterBytes") return setLong(faults.stallAfterBytes, 0);
  if (name == "resetShortBytes") return setLong(faults.resetShortBytes, 1);
  if (name == "closeShortBytes") return setLong(faults.closeShortBytes, 1);
  if (name == "ackPieceSize") {
    const auto value = ParseNumber<size_t>(number, 1, 65536);
    if (!value) return bad();
    faults.ackPieceSize = *value;
    return {};
  }
  if (name == "seed") {
    const auto value = ParseNumber<uint32_t>(number, 0, UINT32_MAX);
    if (!value) return bad();
    faults.seed = *value;
    return {};
  }
  if (name == "dripMs") return setInt(faults.dripMs, 0, kMaxDelayMs);
  if (name == "floodReplies") return setInt(faults.floodReplies, 0, kMaxFloodReplies);
  if (name == "floodIntervalMs") return setInt(faults.floodIntervalMs, 0, kMaxDelayMs);
  if (name == "replyDelayMs") return setInt(faults.replyDelayMs, 0, kMaxDelayMs);
  if (name == "answerOnlyInvitation") return setInt(faults.answerOnlyInvitation, 0, INT_MAX);
  if (name == "connectDelayMs") return setInt(faults.connectDelayMs, 0, kMaxDelayMs);
  if (name == "ackDelayMs") return setInt(faults.ackDelayMs, 0, kMaxDelayMs);
  if (name == "restartMs") return setInt(faults.restartMs, 0, kMaxDelayMs);
  return Format("unknown fault '%.*s'", static_cast<int>(name.size()), name.data());
}

std::string ApplyFault(DeviceFaults& faults, std::string_view value) {
  const auto colon = value.find(':');
  const std::string_view name = value.substr(0, colon);
  if (bool* flag = BooleanFault(faults, name)) {
    if (colon != std::string_view::npos)
      return Format("fault %.*s takes no number", static_cast<int>(name.size()), name.data());
    *flag = true;
    return {};
  }
  if (colon == std::string_view::npos) {
    DeviceFaults probe;
    if (ApplyNumericFault(probe, name, "0").empty())
      return Format("fault %.*s needs a number (%.*s:N)", static_cast<int>(name.size()),
                    name.data(), static_cast<int>(name.size()), name.data());
    return Format("unknown fault '%.*s'", static_cast<int>(name.size()), name.data());
  }
  return ApplyNumericFault(faults, name, value.substr(colon + 1));
}

// Applies one "key=value" item. Empty result on success.
std::string ApplyItem(DeviceConfig& config, std::string_view key, std::string_view value) {
  const auto text = [](std::string_view v) { return std::string(v.data(), v.size()); };
  const auto badNumber = [&] {
    return Format("bad number '%s' for %s", text(value).c_str(), text(key).c_str());
  };
  const auto setInt = [&](int& field, int low, int high) {
    const auto number = ParseNumber<int>(value, low, high);
    if (!number) return badNumber();
    field = *number;
    return std::string();
  };
  if (key == "address") {
    if (!ParseIpv4(value)) return Format("bad address '%s'", text(value).c_str());
    config.address = text(value);
    return {};
  }
  if (key == "kind") {
    // Any printable letter: a device with an unknown kind letter is a test case too.
    if (value.size() != 1 || value[0] <= ' ' || value[0] > '~')
      return Format("bad kind '%s' (one letter, e.g. B, L, T or W)", text(value).c_str());
    config.kindLetter = value[0];
    return {};
  }
  if (key == "mac") {
    const auto mac = ParseMac(value);
    if (!mac) return Format("bad MAC '%s' (e.g. 02-00-00-00-00-07)", text(value).c_str());
    config.hardwareAddress = *mac;
    return {};
  }
  if (key == "sketch") return setInt(config.sketchVersion, INT_MIN, INT_MAX);
  if (key == "text") return setInt(config.textVersion, INT_MIN, INT_MAX);
  if (key == "model") return setInt(config.model, INT_MIN, INT_MAX);
  if (key == "id") return setInt(config.id, INT_MIN, INT_MAX);
  if (key == "rssi") return setInt(config.rssi, INT_MIN, INT_MAX);
  if (key == "password") {
    config.password = text(value);
    return {};
  }
  if (key == "fault") return ApplyFault(config.faults, value);
  return Format("unknown key '%s'", text(key).c_str());
}

}  // namespace

DeviceConfig MakeDevice(std::string address, char kindLetter, uint8_t serial, int sketchVersion,
                        int model, int id) {
  DeviceConfig device;
  device.address = std::move(address);
  device.kindLetter = kindLetter;
  device.hardwareAddress = {0x02, 0x00, 0x00, 0x00, 0x00, serial};
  device.sketchVersion = sketchVersion;
  device.model = model;
  device.id = id;
  return device;
}

std::vector<DeviceConfig> FleetDevices(size_t count) {
  constexpr uint32_t kFirstHost = 0x7f000102;  // 127.0.1.2
  std::vector<DeviceConfig> fleet;
  for (size_t i = 0; i < std::min(count, kMaxFleetSize); ++i) {
    const int n = static_cast<int>(i);
    DeviceConfig device;
    device.address = Ipv4Text(htonl(kFirstHost + static_cast<uint32_t>(i)));
    device.kindLetter = "BLTW"[i % 4];
    device.hardwareAddress = {
        0x02, 0x00, 0x00, 0x00, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i & 0xff)};
    device.sketchVersion = 118 + n % 12;  // 1.18 .. 1.29: some ask for RSSI, some not
    device.textVersion = 1 + n % 5;
    device.id = 1 + n % 14;  // never 15 (TMODE)
    switch (device.kindLetter) {
      case 'B':
        device.model = n % 7;  // KS-B20 .. KS-B26
        break;
      case 'L':
        device.rssi = -40 - n % 50;
        break;
      case 'W':
        device.model = 17 + n % 2;  // KS-W17, KS-W18
        break;
      default:
        break;
    }
    fleet.push_back(device);
  }
  return fleet;
}

std::vector<std::string> FaultNames(const DeviceFaults& f) {
  std::vector<std::string> names;
  const auto flag = [&](bool on, const char* name) {
    if (on) names.emplace_back(name);
  };
  // long long: a seed above 2^31 must stay positive where long has 32 bits (Windows).
  const auto number = [&](long long value, long long normal, const char* name) {
    if (value != normal) names.push_back(std::string(name) + ":" + std::to_string(value));
  };
  flag(f.noDiscoveryReply, "noDiscoveryReply");
  flag(f.noBroadcastReply, "noBroadcastReply");
  flag(f.replyTwice, "replyTwice");
  number(static_cast<long long>(f.replyLength), 30, "replyLength");
  number(f.replyDelayMs, 0, "replyDelayMs");
  flag(f.verWithoutKeys, "verWithoutKeys");
  flag(f.verWithoutCr, "verWithoutCr");
  flag(f.verOneLineThenClose, "verOneLineThenClose");
  flag(f.dumpWithoutModel, "dumpWithoutModel");
  flag(f.dumpWithoutId, "dumpWithoutId");
  flag(f.infoHang, "infoHang");
  flag(f.rssiMissing, "rssiMissing");
  flag(f.updateNoAnswer, "updateNoAnswer");
  number(f.answerOnlyInvitation, 0, "answerOnlyInvitation");
  flag(f.junkAnswer, "junkAnswer");
  flag(f.rejectAuth, "rejectAuth");
  flag(f.noAuthReply, "noAuthReply");
  number(f.connectDelayMs, 0, "connectDelayMs");
  flag(f.neverConnect, "neverConnect");
  number(f.stallAfterBytes, -1, "stallAfterBytes");
  flag(f.closeInsteadOfFinal, "closeInsteadOfFinal");
  flag(f.strangerFirst, "strangerFirst");
  flag(f.finalError, "finalError");
  number(f.ackDelayMs, 0, "ackDelayMs");
  number(f.restartMs, 0, "restartMs");
  flag(f.randomDiscoveryReply, "randomDiscoveryReply");
  flag(f.randomInfoReply, "randomInfoReply");
  flag(f.randomAnswer, "randomAnswer");
  flag(f.randomAuthReply, "randomAuthReply");
  flag(f.randomAcks, "randomAcks");
  flag(f.randomFinal, "randomFinal");
  number(f.dripMs, 0, "dripMs");
  flag(f.infoReset, "infoReset");
  flag(f.discoveryFromStranger, "discoveryFromStranger");
  flag(f.answerFromOtherPort, "answerFromOtherPort");
  flag(f.answerFromStranger, "answerFromStranger");
  number(f.resetShortBytes, 0, "resetShortBytes");
  number(f.closeShortBytes, 0, "closeShortBytes");
  number(static_cast<long long>(f.ackPieceSize), 0, "ackPieceSize");
  flag(f.splitAcks, "splitAcks");
  flag(f.finalGluedToAck, "finalGluedToAck");
  number(f.floodReplies, 0, "floodReplies");
  if (f.floodReplies > 0) number(f.floodIntervalMs, -1, "floodIntervalMs");
  flag(f.floodFromPhantoms, "floodFromPhantoms");
  // The seed matters only when something is random.
  if (f.randomDiscoveryReply || f.randomInfoReply || f.randomAnswer || f.randomAuthReply ||
      f.randomAcks || f.randomFinal || f.infoReset)
    number(static_cast<long long>(f.seed), -1, "seed");
  return names;
}

std::string DeviceSpecText(const DeviceConfig& device) {
  const auto& mac = device.hardwareAddress;
  std::string text = Format(
      "address=%s,kind=%c,mac=%02X-%02X-%02X-%02X-%02X-%02X,sketch=%d,text=%d,"
      "model=%d,id=%d,rssi=%d",
      device.address.c_str(), device.kindLetter, mac[0], mac[1], mac[2], mac[3], mac[4], mac[5],
      device.sketchVersion, device.textVersion, device.model, device.id, device.rssi);
  if (!device.password.empty()) text += ",password=" + device.password;
  for (const std::string& name : FaultNames(device.faults)) text += ",fault=" + name;
  return text;
}

std::optional<DeviceConfig> ParseDeviceSpec(std::string_view spec, std::string* error) {
  DeviceConfig config;
  std::string problem;
  std::string_view rest = Trim(spec);
  while (!rest.empty() && problem.empty()) {
    const auto comma = rest.find(',');
    const std::string_view item = Trim(rest.substr(0, comma));
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    const auto equals = item.find('=');
    if (item.empty()) {
      problem = "empty item";
    } else if (equals == std::string_view::npos) {
      problem = Format("'%.*s' is not key=value", static_cast<int>(item.size()), item.data());
    } else {
      problem = ApplyItem(config, Trim(item.substr(0, equals)), Trim(item.substr(equals + 1)));
    }
    if (problem.empty() && comma != std::string_view::npos && Trim(rest).empty())
      problem = "empty item";
  }
  if (!problem.empty()) {
    if (error) *error = problem;
    return std::nullopt;
  }
  return config;
}

}  // namespace kesto::sim
