// Search time against a simulated fleet on loopback: the discovery (devices
// queried side by side) and then the list entries with their RSSI queries,
// set against the floor of that design: the closing quiet second plus one
// device's VER exchange, the 100 ms pause and its DUMP exchange (measured alone).
#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "discovery/device_list.h"
#include "discovery/discovery.h"
#include "sim/simulator.h"

namespace {

using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

kesto::DiscoveryOptions Options(const kesto::sim::Ports& ports) {
  kesto::DiscoveryOptions options;
  options.localAddress = inet_addr("127.0.0.1");
  options.discoveryPort = ports.discovery;
  options.query.localAddress = options.localAddress;
  options.query.port = ports.query;
  return options;
}

// One VER+DUMP exchange without the pause, against the fleet's first device.
double ExchangeMs(const kesto::sim::Ports& ports) {
  kesto::QueryOptions query = Options(ports).query;
  query.pauseMs = 0;
  kesto::DeviceRecord record;
  record.addressText = "127.0.1.2";
  record.kindLetter = 'B';
  constexpr int kRounds = 20;
  const auto start = Clock::now();
  for (int i = 0; i < kRounds; ++i) static_cast<void>(kesto::QueryDeviceInfo(record, query));
  return Milliseconds(Clock::now() - start) / kRounds;
}

std::string LoadAverage() {
  std::ifstream file("/proc/loadavg");
  std::string one, five, fifteen;
  file >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

struct Figures {
  int found = 0;
  double searchMs = 0;
  double listMs = 0;
  uint32_t drops = 0;
};

Figures MeanOf(int runs, const kesto::sim::Ports& ports) {
  Figures mean;
  for (int run = 0; run < runs; ++run) {
    kesto::DeviceTable table;
    kesto::DiscoveryStats stats;
    const kesto::DiscoveryOptions options = Options(ports);
    const auto start = Clock::now();
    mean.found = kesto::DiscoverDevices(table, options, &stats).value_or(-1);
    const auto searched = Clock::now();
    kesto::BuildDeviceList(table, mean.found, options.query);
    mean.searchMs += Milliseconds(searched - start) / runs;
    mean.listMs += Milliseconds(Clock::now() - searched) / runs;
    mean.drops = std::max(mean.drops, stats.kernelDrops);
  }
  return mean;
}

}  // namespace

int main() {
  const kesto::sim::Ports ports{41000, 41001, 41002};
  constexpr int kRuns = 3;
  std::printf("load average before: %s\n\n", LoadAverage().c_str());
  std::printf(
      "| devices | found | search (ms) | list (ms) | total (ms) | floor (ms) | total / floor | "
      "dropped |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|---:|\n");
  struct Case {
    size_t devices;
    bool hung;
  };
  for (const Case c : {Case{1, false}, Case{10, false}, Case{50, false}, Case{200, false},
                       Case{256, false}, Case{50, true}}) {
    std::vector<kesto::sim::DeviceConfig> fleet = kesto::sim::FleetDevices(c.devices);
    if (c.hung) fleet[c.devices / 2].faults.infoHang = true;
    kesto::sim::Simulator simulator(fleet, ports);
    if (const int error = simulator.Start()) {
      std::fprintf(stderr, "simulator failed to start: errno %d\n", error);
      return 1;
    }
    // The hung device's floor is its own bound: the receive time-out of its VER exchange.
    const double floor =
        c.hung ? Options(ports).query.receiveTimeoutMs : 1000.0 + 100.0 + ExchangeMs(ports);
    const Figures f = MeanOf(kRuns, ports);
    const double total = f.searchMs + f.listMs;
    std::printf("| %zu%s | %d | %.1f | %.1f | %.1f | %.1f | %.3f | %u |\n", c.devices,
                c.hung ? " (one hung)" : "", f.found, f.searchMs, f.listMs, total, floor,
                total / floor, f.drops);
  }
  std::printf("\nload average after: %s\n", LoadAverage().c_str());
  return 0;
}
