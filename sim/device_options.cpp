// Parsing of the one-line device descriptions given on the command line, in a
// config file or by tests.

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "platform/format.h"
#include "platform/socket.h"
#include "sim/simulator.h"

namespace kesto::sim {
namespace {

constexpr std::pair<const char*, AuthScheme> kAuthNames[] = {
    {"md5", AuthScheme::kMd5},
    {"sha256", AuthScheme::kSha256},
    {"sha256-md5hash", AuthScheme::kSha256Md5Hash},
};

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

// Whole text as a decimal number within [low, high]; an optional leading '-'.
template <typename T>
std::optional<T> ParseNumber(std::string_view text, T low, T high) {
  const bool negative = text.starts_with('-');
  const auto lowest = static_cast<long long>(low);
  const auto magnitude =
      ParseDecimal(text.substr(negative ? 1 : 0),
                   negative ? (lowest < 0 ? 0ull - static_cast<uint64_t>(lowest) : 0)
                            : static_cast<uint64_t>(high));
  if (!magnitude) return std::nullopt;
  const long long value =
      negative ? static_cast<long long>(0ull - *magnitude) : static_cast<long long>(*magnitude);
  if (value < lowest) return std::nullopt;
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

// Longest time a device may be told to wait anywhere: ten minutes.
constexpr long long kMaxDelayMs = 600000;

bool AnyRandom(const DeviceFaults& f) {
  return f.randomDiscoveryReply || f.randomInfoReply || f.randomAnswer || f.randomAuthReply ||
         f.randomAcks || f.randomFinal || f.infoReset;
}

// Every fault switch once: its name, its field and, for a number, its range.
// Parsing, printing (DeviceSpecText, kesto-sim's device lines) and kesto-sim's
// help all read this table.
const std::vector<FaultSwitch>& Switches() {
  using F = DeviceFaults;
  static const std::vector<FaultSwitch> table = {
      {"noDiscoveryReply", &F::noDiscoveryReply},
      {"noBroadcastReply", &F::noBroadcastReply},
      {"replyTwice", &F::replyTwice},
      {"replyLength", &F::replyLength, 0, 1400},
      {"replyDelayMs", &F::replyDelayMs, 0, kMaxDelayMs},
      {"verWithoutKeys", &F::verWithoutKeys},
      {"verWithoutCr", &F::verWithoutCr},
      {"verOneLineThenClose", &F::verOneLineThenClose},
      {"dumpWithoutModel", &F::dumpWithoutModel},
      {"dumpWithoutId", &F::dumpWithoutId},
      {"infoHang", &F::infoHang},
      {"rssiMissing", &F::rssiMissing},
      {"updateNoAnswer", &F::updateNoAnswer},
      {"answerOnlyInvitation", &F::answerOnlyInvitation, 0, INT_MAX},
      {"busyInvitations", &F::busyInvitations, 0, INT_MAX},
      {"junkAnswer", &F::junkAnswer},
      {"rejectAuth", &F::rejectAuth},
      {"noAuthReply", &F::noAuthReply},
      {"connectDelayMs", &F::connectDelayMs, 0, kMaxDelayMs},
      {"neverConnect", &F::neverConnect},
      {"stallAfterBytes", &F::stallAfterBytes, 0, LONG_MAX},
      {"closeInsteadOfFinal", &F::closeInsteadOfFinal},
      {"strangerFirst", &F::strangerFirst},
      {"finalError", &F::finalError},
      {"magicByte", &F::magicByte},
      {"ackDelayMs", &F::ackDelayMs, 0, kMaxDelayMs},
      {"restartMs", &F::restartMs, 0, kMaxDelayMs},
      {"randomDiscoveryReply", &F::randomDiscoveryReply},
      {"randomInfoReply", &F::randomInfoReply},
      {"randomAnswer", &F::randomAnswer},
      {"randomAuthReply", &F::randomAuthReply},
      {"randomAcks", &F::randomAcks},
      {"randomFinal", &F::randomFinal},
      {"dripMs", &F::dripMs, 0, kMaxDelayMs},
      {"infoReset", &F::infoReset},
      {"discoveryFromStranger", &F::discoveryFromStranger},
      {"answerFromOtherPort", &F::answerFromOtherPort},
      {"answerFromStranger", &F::answerFromStranger},
      {"resetShortBytes", &F::resetShortBytes, 1, LONG_MAX},
      {"closeShortBytes", &F::closeShortBytes, 1, LONG_MAX},
      {"ackPieceSize", &F::ackPieceSize, 1, 65536},
      {"splitAcks", &F::splitAcks},
      {"finalGluedToAck", &F::finalGluedToAck},
      {"floodReplies", &F::floodReplies, 0, 1000000},
      // printed whenever there is a flood, so that a printed device keeps its pace
      {"floodIntervalMs", &F::floodIntervalMs, 0, kMaxDelayMs,
       [](const F& f) { return f.floodReplies > 0; }},
      {"floodFromPhantoms", &F::floodFromPhantoms},
      // matters only when something is random
      {"seed", &F::seed, 0, UINT32_MAX, AnyRandom},
  };
  return table;
}

const FaultSwitch* FindSwitch(std::string_view name) {
  for (const FaultSwitch& entry : Switches())
    if (name == entry.name) return &entry;
  return nullptr;
}

// "name" for a switch, "name:number" for a number. Empty result on success.
std::string ApplyFault(DeviceFaults& faults, std::string_view value) {
  const auto colon = value.find(':');
  const std::string_view name = value.substr(0, colon);
  const auto text = [](std::string_view v) { return std::string(v.data(), v.size()); };
  const FaultSwitch* entry = FindSwitch(name);
  if (!entry) return Format("unknown fault '%s'", text(name).c_str());
  if (const auto flag = std::get_if<bool DeviceFaults::*>(&entry->field)) {
    if (colon != std::string_view::npos)
      return Format("fault %s takes no number", text(name).c_str());
    faults.** flag = true;
    return {};
  }
  if (colon == std::string_view::npos)
    return Format("fault %s needs a number (%s:N)", text(name).c_str(), text(name).c_str());
  const std::string_view number = value.substr(colon + 1);
  const auto parsed = ParseNumber<long long>(number, entry->low, entry->high);
  if (!parsed) return Format("bad number '%s' for fault %s", text(number).c_str(), entry->name);
  std::visit(
      [&](auto field) {
        faults.*field = static_cast<std::remove_reference_t<decltype(faults.*field)>>(*parsed);
      },
      entry->field);
  return {};
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
  if (key == "sketchAfter") return setInt(config.sketchAfterWrite, 0, INT_MAX);
  if (key == "text") return setInt(config.textVersion, INT_MIN, INT_MAX);
  if (key == "model") return setInt(config.model, INT_MIN, INT_MAX);
  if (key == "id") return setInt(config.id, INT_MIN, INT_MAX);
  if (key == "rssi") return setInt(config.rssi, INT_MIN, INT_MAX);
  if (key == "password") {
    config.password = text(value);
    return {};
  }
  if (key == "auth") {
    for (const auto& [name, scheme] : kAuthNames)
      if (value == name) {
        config.auth = scheme;
        return {};
      }
    return Format("bad auth '%s' (md5, sha256 or sha256-md5hash)", text(value).c_str());
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

const std::vector<FaultSwitch>& FaultSwitches() {
  return Switches();
}

std::vector<std::string> FaultNames(const DeviceFaults& faults) {
  static const DeviceFaults normal;
  std::vector<std::string> names;
  for (const FaultSwitch& entry : Switches()) {
    std::visit(
        [&](auto field) {
          const bool shown = entry.shown ? entry.shown(faults) : faults.*field != normal.*field;
          if (!shown) return;
          if constexpr (std::is_same_v<decltype(field), bool DeviceFaults::*>)
            names.emplace_back(entry.name);
          else
            names.push_back(std::string(entry.name) + ":" + std::to_string(faults.*field));
        },
        entry.field);
  }
  return names;
}

std::string FaultHelpText() {
  std::string flags = "Faults (fault=NAME):";
  std::string numbers = "Faults with a number (fault=NAME:N):";
  for (const FaultSwitch& entry : Switches()) {
    std::string& line = std::holds_alternative<bool DeviceFaults::*>(entry.field) ? flags : numbers;
    const size_t lineStart = line.rfind('\n') == std::string::npos ? 0 : line.rfind('\n') + 1;
    line += line.size() - lineStart + strlen(entry.name) + 1 > 78 ? "\n  " : " ";
    line += entry.name;
  }
  return flags + "\n" + numbers + "\n";
}

std::string DeviceSpecText(const DeviceConfig& device) {
  const auto& mac = device.hardwareAddress;
  std::string text = Format(
      "address=%s,kind=%c,mac=%02X-%02X-%02X-%02X-%02X-%02X,sketch=%d,text=%d,"
      "model=%d,id=%d,rssi=%d",
      device.address.c_str(), device.kindLetter, mac[0], mac[1], mac[2], mac[3], mac[4], mac[5],
      device.sketchVersion, device.textVersion, device.model, device.id, device.rssi);
  if (device.sketchAfterWrite > 0) text += Format(",sketchAfter=%d", device.sketchAfterWrite);
  if (!device.password.empty()) text += ",password=" + device.password;
  for (const auto& [name, scheme] : kAuthNames)
    if (device.auth == scheme && scheme != AuthScheme::kMd5) text += Format(",auth=%s", name);
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
