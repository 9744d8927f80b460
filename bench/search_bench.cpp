// Search time against simulated devices on loopback, compared with the
// protocol's floor: the closing quiet second plus, per device, the 100 ms pause
// between its VER and DUMP connections and its exchanges (measured alone).
#include <arpa/inet.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "discovery/discovery.h"
#include "platform/format.h"
#include "sim/simulator.h"

namespace {

using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

std::vector<kesto::sim::DeviceConfig> Devices(int count) {
  std::vector<kesto::sim::DeviceConfig> devices;
  for (int i = 0; i < count; ++i) {
    kesto::sim::DeviceConfig device;
    device.address = kesto::Format("127.0.%d.%d", 1 + i / 200, 2 + i % 200);
    device.kindLetter = "BLTW"[i % 4];
    device.hardwareAddress[5] = static_cast<uint8_t>(i);
    devices.push_back(device);
  }
  return devices;
}

kesto::DiscoveryOptions Options(const kesto::sim::Ports& ports) {
  kesto::DiscoveryOptions options;
  options.localAddress = inet_addr("127.0.0.1");
  options.discoveryPort = ports.discovery;
  options.query.localAddress = options.localAddress;
  options.query.port = ports.query;
  return options;
}

// One VER+DUMP exchange without the pause: the per-device cost above the floor's pause.
double ExchangeMs(const kesto::sim::Ports& ports) {
  kesto::QueryOptions query = Options(ports).query;
  query.pauseMs = 0;
  kesto::DeviceRecord record;
  record.addressText = "127.0.1.2";
  record.kindLetter = 'B';
  constexpr int kRounds = 20;
  const auto start = Clock::now();
  for (int i = 0; i < kRounds; ++i) kesto::QueryDeviceInfo(record, query);
  return Milliseconds(Clock::now() - start) / kRounds;
}

}  // namespace

int main() {
  const kesto::sim::Ports ports{41000, 41001, 41002};
  std::printf("| devices | found | search (ms) | floor (ms) | over floor |\n");
  std::printf("|---:|---:|---:|---:|---:|\n");
  for (const int count : {1, 10, 50}) {
    kesto::sim::Simulator simulator(Devices(count), ports);
    if (const int error = simulator.Start()) {
      std::fprintf(stderr, "simulator failed to start: errno %d\n", error);
      return 1;
    }
    const double exchange = ExchangeMs(ports);
    constexpr int kRuns = 3;
    double total = 0;
    int found = 0;
    for (int run = 0; run < kRuns; ++run) {
      kesto::DeviceTable table;
      const auto start = Clock::now();
      found = kesto::DiscoverDevices(table, Options(ports));
      total += Milliseconds(Clock::now() - start);
    }
    const double measured = total / kRuns;
    const double floor = 1000.0 + count * (100.0 + exchange);
    std::printf("| %d | %d | %.1f | %.1f | %+.2f %% |\n", count, found, measured, floor,
                (measured / floor - 1.0) * 100.0);
  }
  return 0;
}
