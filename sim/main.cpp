// kesto-sim: stands in for KESTO devices on this host, for trying the writer
// without hardware.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kesto/version.h"
#include "platform/format.h"
#include "platform/process.h"
#include "platform/socket.h"
#include "platform/stop_signal.h"
#include "sim/simulator.h"

namespace {

using kesto::sim::AuthScheme;
using kesto::sim::DeviceConfig;
using kesto::sim::UpdateSession;

constexpr const char* kUsage =
    "Usage: kesto-sim [OPTIONS]\n"
    "Simulates KESTO devices: discovery responder (UDP), information service (TCP)\n"
    "and update receiver (UDP invitation, TCP transfer).\n"
    "\n"
    "  --device SPEC         add a device (repeatable), e.g.\n"
    "                        address=127.0.0.3,kind=W,mac=02-00-00-00-00-07,sketch=125,\n"
    "                        text=3,model=17,id=2,rssi=-58,password=PELICANUS,\n"
    "                        fault=infoHang,fault=replyDelayMs:200; sketchAfter=126:\n"
    "                        the version it reports once it took an image\n"
    "                        auth=md5|sha256|sha256-md5hash: how the password is\n"
    "                        checked (sha256: ESP32 core 3.3.1 and later; -md5hash:\n"
    "                        such a device holding the MD5 of the password)\n"
    "  --config FILE         add the devices of FILE: one SPEC per line, '#' comments\n"
    "  --fleet N             add N well-behaved devices (at most 256) at 127.0.1.2 and\n"
    "                        up, kinds B, L, T and W in turn\n"
    "  --discovery-port N    discovery port (default 30718)\n"
    "  --query-port N        information service port (default 9998)\n"
    "  --update-port N       update receiver port (default 3232)\n"
    "  --hostile[=SEED]      add a mix of hostile devices drawn from SEED (default 1):\n"
    "                        random bytes and lengths on every service, slow drips,\n"
    "                        half-open connections, resets, glued or split\n"
    "                        acknowledgements, strangers, floods of replies\n"
    "  --hostile-count N     how many hostile devices (default 8), from 127.0.0.2 on\n"
    "  --any-source          answer every sender, not only 127.0.0.0/8\n"
    "                        (for devices inside a network namespace)\n"
    "  --received FOLDER     write each image a device received (whole or not) to\n"
    "                        FOLDER/<device address>.bin, replacing the last one\n"
    "  --duration SECONDS    stop after this long (default: until Ctrl+C or SIGTERM)\n"
    "  --help, --version\n"
    "\n"
    "Without --device or --config: four devices, B at 127.0.0.2, L at 127.0.0.3,\n"
    "T at 127.0.0.4 and W at 127.0.0.5.\n"
    "\n"
    "Prints a line for each invitation and each finished write session.\n"
    "Exit status: 0 after a stop, 1 when a service cannot be bound, 2 on bad usage.\n"
    "\n";

struct Options {
  std::vector<DeviceConfig> devices;
  std::optional<uint32_t> hostileSeed;
  size_t hostileCount = 8;
  kesto::sim::Ports ports;
  bool anySource = false;
  std::optional<long> durationSeconds;
  std::string receivedFolder;
};

template <typename T>
std::optional<T> Number(std::string_view text, T low, T high) {
  const auto value = kesto::ParseDecimal(text, static_cast<uint64_t>(high));
  if (!value || *value < static_cast<uint64_t>(low)) return std::nullopt;
  return static_cast<T>(*value);
}

std::vector<DeviceConfig> DefaultDevices() {
  std::vector<DeviceConfig> devices(4);
  const char kinds[] = {'B', 'L', 'T', 'W'};
  for (size_t i = 0; i < devices.size(); ++i) {
    devices[i].address = "127.0.0." + std::to_string(i + 2);
    devices[i].kindLetter = kinds[i];
    devices[i].hardwareAddress[5] = static_cast<uint8_t>(i + 1);
  }
  devices[1].rssi = -58;
  devices[3].model = 17;
  return devices;
}

bool AddSpec(std::string_view spec, const std::string& where, Options& options) {
  std::string error;
  auto device = kesto::sim::ParseDeviceSpec(spec, &error);
  if (!device) {
    std::fprintf(stderr, "kesto-sim: %s: %s\n", where.c_str(), error.c_str());
    return false;
  }
  options.devices.push_back(*device);
  return true;
}

bool AddConfigFile(const std::string& path, Options& options) {
  std::ifstream file(path);
  if (!file) {
    std::fprintf(stderr, "kesto-sim: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    const auto hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    if (!AddSpec(line, path + ":" + std::to_string(number), options)) return false;
  }
  return true;
}

// 0 to run, otherwise the exit status (after --help/--version: -1 for 0).
int ParseArguments(int argc, char** argv, Options& options) {
  bool anyDevice = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help") {
      std::fputs((kUsage + kesto::sim::FaultHelpText()).c_str(), stdout);
      return -1;
    }
    if (arg == "--version") {
      std::printf("kesto-sim %d.%d.%d.%d\n", kesto::kVersionMajor, kesto::kVersionMinor,
                  kesto::kVersionBuild, kesto::kVersionRevision);
      return -1;
    }
    if (arg == "--any-source") {
      options.anySource = true;
      continue;
    }
    if (arg == "--hostile" || arg.starts_with("--hostile=")) {
      const auto seed = arg == "--hostile" ? std::optional<uint32_t>(1)
                                           : Number<uint32_t>(arg.substr(10), 0, UINT32_MAX);
      if (!seed) {
        std::fprintf(stderr, "kesto-sim: bad seed in '%s'\n", argv[i]);
        return 2;
      }
      options.hostileSeed = seed;
      anyDevice = true;
      continue;
    }
    const bool takesValue = arg == "--device" || arg == "--config" || arg == "--discovery-port" ||
                            arg == "--query-port" || arg == "--update-port" ||
                            arg == "--duration" || arg == "--hostile-count" || arg == "--fleet" ||
                            arg == "--received";
    if (!takesValue) {
      std::fprintf(stderr, "kesto-sim: unknown option '%s' (see --help)\n", argv[i]);
      return 2;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "kesto-sim: %s needs a value\n", argv[i]);
      return 2;
    }
    const std::string_view value = argv[++i];
    if (arg == "--device") {
      anyDevice = true;
      if (!AddSpec(value, "--device", options)) return 2;
    } else if (arg == "--config") {
      anyDevice = true;
      if (!AddConfigFile(std::string(value), options)) return 2;
    } else if (arg == "--fleet") {
      const auto count = Number<size_t>(value, 1, kesto::sim::kMaxFleetSize);
      if (!count) {
        std::fprintf(stderr, "kesto-sim: bad fleet size '%s' (1..%zu)\n", argv[i],
                     kesto::sim::kMaxFleetSize);
        return 2;
      }
      anyDevice = true;
      const auto fleet = kesto::sim::FleetDevices(*count);
      options.devices.insert(options.devices.end(), fleet.begin(), fleet.end());
    } else if (arg == "--received") {
      options.receivedFolder = value;
    } else if (arg == "--hostile-count") {
      const auto count = Number<size_t>(value, 1, 4000);
      if (!count) {
        std::fprintf(stderr, "kesto-sim: bad count '%s'\n", argv[i]);
        return 2;
      }
      options.hostileCount = *count;
    } else if (arg == "--duration") {
      options.durationSeconds = Number<long>(value, 1, 31L * 24 * 3600);
      if (!options.durationSeconds) {
        std::fprintf(stderr, "kesto-sim: bad duration '%s'\n", argv[i]);
        return 2;
      }
    } else {
      const auto port = Number<uint16_t>(value, 1, 65535);
      if (!port) {
        std::fprintf(stderr, "kesto-sim: bad port '%s' for %s\n", argv[i], argv[i - 1]);
        return 2;
      }
      uint16_t& field = arg == "--discovery-port" ? options.ports.discovery
                        : arg == "--query-port"   ? options.ports.query
                                                  : options.ports.update;
      field = *port;
    }
  }
  if (options.hostileSeed) {
    const auto hostile = kesto::sim::HostileDevices(*options.hostileSeed, options.hostileCount);
    options.devices.insert(options.devices.end(), hostile.begin(), hostile.end());
  }
  if (!anyDevice) options.devices = DefaultDevices();
  return 0;
}

// " faults a,b:N" for the switches that are on, or nothing.
std::string FaultText(const kesto::sim::DeviceFaults& faults) {
  const std::vector<std::string> names = kesto::sim::FaultNames(faults);
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? " faults " : ",") + name;
  return text;
}

void PrintDevice(const DeviceConfig& device) {
  const auto& mac = device.hardwareAddress;
  std::printf(
      "simulating %s kind %c mac %02X-%02X-%02X-%02X-%02X-%02X sketch %d text %d model %d id %d "
      "rssi %d%s%s\n",
      device.address.c_str(), device.kindLetter, mac[0], mac[1], mac[2], mac[3], mac[4], mac[5],
      device.sketchVersion, device.textVersion, device.model, device.id, device.rssi,
      device.password.empty()              ? ""
      : device.auth == AuthScheme::kMd5    ? " password set"
      : device.auth == AuthScheme::kSha256 ? " password set (sha256)"
                                           : " password set (sha256, md5 hash)",
      FaultText(device.faults).c_str());
}

// Waits for Ctrl+C (or SIGTERM), at most the duration.
void WaitForStop(const kesto::StopSignal& interrupt, std::optional<long> seconds) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point end =
      seconds ? Clock::now() + std::chrono::seconds(*seconds) : Clock::time_point::max();
  constexpr long long kSliceMs = 3600 * 1000;
  for (Clock::time_point now = Clock::now(); now < end; now = Clock::now()) {
    const long long left = std::chrono::ceil<std::chrono::milliseconds>(end - now).count();
    if (!interrupt.SleepFor(static_cast<int>(std::min(left, kSliceMs)))) return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const int status = ParseArguments(argc, argv, options)) return status < 0 ? 0 : status;

  kesto::StopSignal interrupt;
  kesto::StopOnInterrupt(interrupt);

  kesto::sim::Simulator simulator(options.devices, options.ports, !options.anySource);
  // What the devices received, one line each, for a script to check.
  std::mutex reportMutex;
  simulator.SetReport([&reportMutex](const std::string& line) {
    std::lock_guard lock(reportMutex);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  });
  if (!options.receivedFolder.empty()) {
    simulator.OnSession([folder = options.receivedFolder](size_t, const UpdateSession& session) {
      std::ofstream file(folder + "/" + session.deviceAddress + ".bin",
                         std::ios::binary | std::ios::trunc);
      file.write(reinterpret_cast<const char*>(session.image.data()),
                 static_cast<std::streamsize>(session.image.size()));
    });
  }
  if (const int error = simulator.Start()) {
    std::fprintf(stderr, "kesto-sim: cannot bind the services (ports %u, %u, %u): %s\n",
                 options.ports.discovery, options.ports.query, options.ports.update,
                 kesto::SystemErrorText(error).c_str());
    return 1;
  }
  for (const DeviceConfig& device : options.devices) PrintDevice(device);
  std::printf("answering %s on ports %u (discovery), %u (information), %u (update)\n",
              options.anySource ? "every sender" : "127.0.0.0/8 only", options.ports.discovery,
              options.ports.query, options.ports.update);
  // Scripts wait for these lines in a log file.
  std::fflush(stdout);

  WaitForStop(interrupt, options.durationSeconds);
  simulator.Stop();
  return 0;
}
