// The core against hostile simulated devices, a search and four writes per
// round: every run ends within a bound computed from its limits; a success
// only when the device holds the very image; nothing for strangers; no
// descriptor or thread left. Rounds: KESTO_SOAK_ROUNDS (default 3); a failure
// names its seed and devices as kesto-sim --device specs.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "discovery/device_list.h"
#include "discovery/discovery.h"
#include "sim/simulator.h"
#include "support/test_support.h"

// Designated initializers name only what differs from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace kesto {
namespace {

using namespace kesto::testing;
using std::chrono::milliseconds;
constexpr int kQuietMs = 300, kConnectMs = 500, kExchangeMs = 1500, kSlackMs = 3000;

std::vector<size_t> DescriptorsAndThreads() {
  std::vector<size_t> counts;
  for (const char* folder : {"/proc/self/fd", "/proc/self/task"}) {
    counts.push_back(0);
    if (DIR* dir = opendir(folder)) {
      while (const dirent* entry = readdir(dir)) counts.back() += entry->d_name[0] != '.';
      closedir(dir);
    }
  }
  return counts;
}

// Milliseconds since start.
long Since(std::chrono::steady_clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start).count());
}

void Round(uint32_t seed, const TempDir& files) {
  sim::HostileTiming timing;
  timing.dripMs = 300;  // slower than no per-byte limit: only a bound on the whole ends it
  timing.floodReplies = 0;
  const std::vector<sim::DeviceConfig> devices = sim::HostileDevices(seed, 10, 2, timing);
  const sim::Ports ports = NextTestPorts();
  std::string context = "\nround seed " + std::to_string(seed) + "; kesto-sim";
  for (const sim::DeviceConfig& device : devices)
    context += " --device \"" + sim::DeviceSpecText(device) + "\"";
  context += " --discovery-port " + std::to_string(ports.discovery) + " --query-port " +
             std::to_string(ports.query) + " --update-port " + std::to_string(ports.update);
  const auto before = DescriptorsAndThreads();
  {
    sim::Simulator simulator(devices, ports);
    ASSERT_EQ(simulator.Start(), 0) << context;
    DiscoveryOptions search;
    search.localAddress = htonl(INADDR_LOOPBACK);
    search.discoveryPort = ports.discovery;
    search.quietMs = kQuietMs;
    search.query = {.localAddress = 0,
                    .port = ports.query,
                    .connectTimeoutMs = kConnectMs,
                    .receiveTimeoutMs = 800,
                    .exchangeDeadlineMs = kExchangeMs,
                    .pauseMs = 10};
    const long replies = static_cast<long>(devices.size()) * 2;  // some answer twice
    DeviceTable table;
    auto start = std::chrono::steady_clock::now();
    const int count = DiscoverDevices(table, search).value_or(-1);
    for (const std::string& entry : BuildDeviceList(table, count, search.query))
      EXPECT_TRUE(entry.size() < 200 && std::all_of(entry.begin(), entry.end(),
                                                    [](char c) { return c >= 0x20 && c < 0x7f; }))
          << entry << context;
    EXPECT_LT(Since(start),
              (replies + 1) * kQuietMs + replies * 3 * (kConnectMs + kExchangeMs) + kSlackMs)
        << "search past its bound" << context;
    std::mt19937 pick(seed);
    for (int k = 0; k < 4; ++k) {
      const size_t index = pick() % devices.size();
      const size_t size = std::vector<size_t>{1, 1023, 1024, 1025, 3000, 5000, 8199}[pick() % 7];
      const std::string image = PatternBytes(size, static_cast<uint32_t>(size));
      UpdateRequest request{.deviceAddress = devices[index].address,
                            .localAddress = "127.0.0.1",
                            .devicePort = ports.update,
                            .image = Prepared(files.Write("KS_N_soak.bin", image))};
      const UpdateLimits limits{
          .answerWaitMs = 300, .attempts = 2, .connectWaitMs = 1000, .stallMs = 1000};
      const size_t sessions = simulator.Sessions(index).size();
      const std::string what =
          " writing " + std::to_string(size) + " bytes to " + request.deviceAddress + context;
      start = std::chrono::steady_clock::now();
      const Outcome outcome = RunWrite(request, limits);
      EXPECT_LT(Since(start), 2700 + static_cast<long>(size / kChunkSize + 2) * 2000 + kSlackMs)
          << "write past its bound" << what;
      EXPECT_EQ(simulator.StrangerConnections(), 0) << "the image went to a stranger" << what;
      if (!outcome.end.succeeded()) continue;
      simulator.WaitForSessions(index, sessions + 1, 2000);
      bool held = false;
      for (const sim::UpdateSession& session : simulator.Sessions(index))
        held |= session.complete && session.accepted &&
                session.image == std::vector<uint8_t>(image.begin(), image.end());
      EXPECT_TRUE(held) << "success, but the device does not hold the image" << what;
    }
  }
  EXPECT_EQ(DescriptorsAndThreads(), before) << "descriptors, threads" << context;
}

TEST(HostileSoak, SearchesAndWritesKeepEveryPromise) {
  const char* text = std::getenv("KESTO_SOAK_ROUNDS");
  const int rounds = text && std::atoi(text) > 0 ? std::atoi(text) : 3;
  TempDir files;
  for (int round = 0; round < rounds && !::testing::Test::HasFailure(); ++round)
    Round(static_cast<uint32_t>(1000 + round), files);
}

}  // namespace
}  // namespace kesto
