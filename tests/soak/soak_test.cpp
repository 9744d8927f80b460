// The core against hostile simulated devices, round after round: a search and
// a few writes per round. Every run ends within a bound computed from its
// limits; a write reports success only when the device holds the very image;
// no stranger is handed the image; descriptors and threads come back.
//
// Rounds: KESTO_SOAK_ROUNDS in the environment (default 3). Each round is
// reproducible from its seed: a failure names the seed and the devices as
// --device specs for kesto-sim.

#include <dirent.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "discovery/device_list.h"
#include "discovery/discovery.h"
#include "sim/simulator.h"
#include "support/test_support.h"

namespace kesto {
namespace {

using namespace kesto::testing;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kQuietMs = 300, kConnectMs = 500, kReceiveMs = 800, kExchangeMs = 1500;
constexpr int kSlackMs = 3000;  // scheduling on a busy machine, added to every bound

size_t CountEntries(const char* folder) {
  size_t count = 0;
  if (DIR* dir = opendir(folder)) {
    while (const dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
  }
  return count;
}

std::pair<size_t, size_t> DescriptorsAndThreads() {
  return {CountEntries("/proc/self/fd"), CountEntries("/proc/self/task")};
}

class HostileSoak : public ::testing::Test {
 protected:
  void Search(const std::vector<sim::DeviceConfig>& devices, const sim::Ports& ports) {
    DiscoveryOptions options;
    options.localAddress = htonl(INADDR_LOOPBACK);
    options.discoveryPort = ports.discovery;
    options.quietMs = kQuietMs;
    options.query.port = ports.query;
    options.query.connectTimeoutMs = kConnectMs;
    options.query.receiveTimeoutMs = kReceiveMs;
    options.query.exchangeDeadlineMs = kExchangeMs;
    options.query.pauseMs = 10;
    long replies = 0;
    for (const sim::DeviceConfig& device : devices)
      replies += device.faults.noDiscoveryReply ? 0 : device.faults.replyTwice ? 2 : 1;
    const long exchange = kConnectMs + kExchangeMs;
    const milliseconds bound((replies + 1) * kQuietMs + replies * 3 * exchange + kSlackMs);
    const auto start = Clock::now();
    DeviceTable table;
    const int count = DiscoverDevices(table, options);
    for (const std::string& entry : BuildDeviceList(table, std::max(count, 0), options.query))
      EXPECT_TRUE(entry.size() < 200 && std::all_of(entry.begin(), entry.end(),
                                                    [](char c) { return c >= 0x20 && c < 0x7f; }))
          << entry << context_;
    EXPECT_GE(count, 0) << context_;
    EXPECT_LT(Clock::now() - start, bound) << "search past its bound" << context_;
  }

  void Write(sim::Simulator& simulator, const sim::DeviceConfig& device, size_t index, size_t size,
             const sim::Ports& ports) {
    const std::string image = PatternBytes(size, static_cast<uint32_t>(size));
    UpdateRequest request;
    request.deviceAddress = device.address;
    request.localAddress = "127.0.0.1";
    request.devicePort = ports.update;
    request.firmwarePath = files_.Write("KS_N_soak.bin", image);
    UpdateLimits limits;
    limits.answerWaitMs = 300;
    limits.attempts = 2;
    limits.connectWaitMs = limits.stallMs = 1000;
    const long chunks = static_cast<long>((size + kChunkSize - 1) / kChunkSize);
    const milliseconds bound(3 * limits.answerWaitMs + limits.connectWaitMs +
                             (chunks + 1) * 2 * limits.stallMs + kSlackMs);
    const size_t before = simulator.Sessions(index).size();
    const auto start = Clock::now();
    const Outcome outcome = RunWrite(request, limits);
    const std::string what =
        " writing " + std::to_string(size) + " bytes to " + device.address + context_;
    EXPECT_LT(Clock::now() - start, bound) << "write past its bound" << what;
    EXPECT_EQ(simulator.StrangerConnections(), 0) << "the image went to a stranger" << what;
    if (!outcome.end.succeeded()) return;
    simulator.WaitForSessions(index, before + 1, 2000);
    const std::vector<uint8_t> bytes(image.begin(), image.end());
    bool held = false;
    for (const sim::UpdateSession& session : simulator.Sessions(index))
      held |= session.complete && session.accepted && session.image == bytes;
    EXPECT_TRUE(held) << "success, but the device does not hold the image" << what;
  }

  void Round(uint32_t seed) {
    sim::HostileTiming timing;
    timing.dripMs = 300;  // slower than no per-byte limit: only a bound on the whole ends it
    timing.floodReplies = 0;
    const std::vector<sim::DeviceConfig> devices = sim::HostileDevices(seed, 10, 2, timing);
    const sim::Ports ports = NextTestPorts();
    context_ = "\nround seed " + std::to_string(seed) + "; kesto-sim";
    for (const sim::DeviceConfig& device : devices)
      context_ += " --device \"" + sim::DeviceSpecText(device) + "\"";
    context_ += " --discovery-port " + std::to_string(ports.discovery) + " --query-port " +
                std::to_string(ports.query) + " --update-port " + std::to_string(ports.update);
    const auto before = DescriptorsAndThreads();
    {
      sim::Simulator simulator(devices, ports);
      ASSERT_EQ(simulator.Start(), 0) << context_;
      Search(devices, ports);
      std::mt19937 pick(seed);
      for (int k = 0; k < 4; ++k) {
        constexpr size_t kSizes[] = {1, 1023, 1024, 1025, 3000, 5000, 8199};
        const size_t index = std::uniform_int_distribution<size_t>(0, devices.size() - 1)(pick);
        Write(simulator, devices[index], index, kSizes[pick() % 7], ports);
      }
    }
    EXPECT_EQ(DescriptorsAndThreads(), before) << "descriptors, threads" << context_;
  }

  TempDir files_;
  std::string context_;
};

TEST_F(HostileSoak, SearchesAndWritesKeepEveryPromise) {
  const char* text = std::getenv("KESTO_SOAK_ROUNDS");
  const int rounds = text && std::atoi(text) > 0 ? std::atoi(text) : 3;
  for (int round = 0; round < rounds && !HasFailure(); ++round)
    Round(static_cast<uint32_t>(1000 + round));
}

}  // namespace
}  // namespace kesto
