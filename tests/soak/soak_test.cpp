// The core against hostile simulated devices, round after round: a search and
// a few writes per round, each checked for what the operator is promised. The
// process stays alive; every run ends within a bound computed from its limits;
// a write reports success only when the device holds the very image; no
// stranger is handed the image; descriptors, threads and memory come back.
//
// Rounds: KESTO_SOAK_ROUNDS in the environment, else the build's default.
// Every round is reproducible from its seed: a failure names the seed and the
// devices as --device specs for kesto-sim.

#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "discovery/device_list.h"
#include "discovery/discovery.h"
#include "platform/stop_signal.h"
#include "sim/simulator.h"
#include "soak_support.h"
#include "support/test_ports.h"
#include "update/result.h"
#include "update/update_run.h"

#ifndef KESTO_SOAK_DEFAULT_ROUNDS
#define KESTO_SOAK_DEFAULT_ROUNDS 30
#endif

#if defined(__SANITIZE_ADDRESS__)
#define KESTO_SOAK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KESTO_SOAK_SANITIZED 1
#endif
#endif

namespace kesto {
namespace {

using namespace kesto::testing;

using std::chrono::milliseconds;
using testing::CurrentCounts;
using testing::ProcessCounts;
using testing::RunOutcome;
using testing::SoakClock;
using testing::Watchdog;

// Limits of the runs: short, so that a round takes seconds.
constexpr int kQuietMs = 300;
constexpr int kConnectMs = 500;
constexpr int kReceiveMs = 800;
constexpr int kExchangeMs = 1500;  // one whole exchange with the information service
constexpr int kPauseMs = 10;
constexpr int kAnswerWaitMs = 300;
constexpr int kAttempts = 2;
constexpr int kConnectWaitMs = 1000;
constexpr int kStallMs = 1000;
// A drip slower than no per-byte limit: only a bound on the whole ends it.
constexpr int kDripMs = 300;
// Room for scheduling on a busy machine, added to every bound.
constexpr int kSlackMs = 3000;

constexpr size_t kDevicesPerRound = 10;
constexpr size_t kWritesPerRound = 4;
constexpr size_t kWarmUpRounds = 2;
// Heap growth allowed from the first round after warm-up to the last.
constexpr size_t kHeapTolerance = 1024 * 1024;

int Rounds() {
  if (const char* text = std::getenv("KESTO_SOAK_ROUNDS")) {
    const int rounds = std::atoi(text);
    if (rounds > 0) return rounds;
  }
  return KESTO_SOAK_DEFAULT_ROUNDS;
}

// The whole-exchange limit of the queries, where the core has one; the
// bounds below hold the core to it either way.
template <typename Options>
void SetExchangeLimit(Options& options, int ms) {
  if constexpr (requires { options.exchangeDeadlineMs; }) options.exchangeDeadlineMs = ms;
}

DiscoveryOptions SearchOptions(const sim::Ports& ports, const StopSignal& stop) {
  DiscoveryOptions options;
  options.localAddress = htonl(INADDR_LOOPBACK);
  options.discoveryPort = ports.discovery;
  options.quietMs = kQuietMs;
  options.query.port = ports.query;
  options.query.connectTimeoutMs = kConnectMs;
  options.query.receiveTimeoutMs = kReceiveMs;
  options.query.pauseMs = kPauseMs;
  options.query.stop = &stop;
  SetExchangeLimit(options.query, kExchangeMs);
  return options;
}

UpdateLimits WriteLimits() {
  UpdateLimits limits;
  limits.answerWaitMs = kAnswerWaitMs;
  limits.attempts = kAttempts;
  limits.connectWaitMs = kConnectWaitMs;
  limits.stallMs = kStallMs;
  return limits;
}

// Every reply may cost a VER and a DUMP exchange and a quiet wait; every
// device recorded an RSSI exchange.
milliseconds SearchBound(const std::vector<sim::DeviceConfig>& devices) {
  long replies = 0;
  for (const sim::DeviceConfig& device : devices)
    if (!device.faults.noDiscoveryReply)
      replies += (device.faults.replyTwice ? 2 : 1) + device.faults.floodReplies;
  const long exchange = kConnectMs + kExchangeMs;
  const long recorded = std::min<long>(replies, kDeviceTableSize);
  return milliseconds((replies + 1) * kQuietMs + replies * (2 * exchange + kPauseMs) +
                      recorded * exchange + kSlackMs);
}

// Every invitation wait and the authentication, the connection, a send and an
// acknowledgement per chunk, the final answer.
milliseconds WriteBound(const UpdateLimits& limits, size_t imageSize) {
  const long chunks = static_cast<long>((imageSize + kChunkSize - 1) / kChunkSize);
  return milliseconds(long{limits.attempts + 1} * limits.answerWaitMs + limits.connectWaitMs +
                      chunks * 2 * limits.stallMs + 2 * limits.stallMs + kSlackMs);
}

std::string Specs(const std::vector<sim::DeviceConfig>& devices) {
  std::string text;
  for (const sim::DeviceConfig& device : devices)
    text += " --device \"" + sim::DeviceSpecText(device) + "\"";
  return text;
}

// A list entry shows the device's texts safely: printable, one short line.
bool SafeEntry(const std::string& entry) {
  return entry.size() < 200 &&
         std::all_of(entry.begin(), entry.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
}

// No log piece carries a NUL or runs on without end.
bool SafeLog(const RunOutcome& outcome) {
  return std::all_of(outcome.pieces.begin(), outcome.pieces.end(), [](const std::string& piece) {
    return piece.size() <= 512 && piece.find('\0') == std::string::npos;
  });
}

struct Tally {
  int rounds = 0;
  int devices = 0;
  int searches = 0;
  int recorded = 0;
  int writes = 0;
  int successes = 0;
  std::map<int32_t, int> codes;
  int overruns = 0;
  int falseSuccesses = 0;
  int strangerDeliveries = 0;
  int leaks = 0;
  milliseconds longestSearch{0};
  milliseconds longestWrite{0};
};

class HostileSoak : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // One heap for every thread, so that mallinfo2 sees all of it.
    mallopt(M_ARENA_MAX, 1);
  }

  void Search(const std::vector<sim::DeviceConfig>& devices, const sim::Ports& ports,
              const std::string& context) {
    StopSignal stop;
    const DiscoveryOptions options = SearchOptions(ports, stop);
    const milliseconds bound = SearchBound(devices);
    DeviceTable table;
    const auto start = SoakClock::now();
    Watchdog watchdog(stop, bound);
    const int count = DiscoverDevices(table, options);
    const std::vector<std::string> entries =
        BuildDeviceList(table, std::max(count, 0), options.query);
    const bool expired = watchdog.Done();
    const auto took = std::chrono::duration_cast<milliseconds>(SoakClock::now() - start);
    ++tally_.searches;
    tally_.longestSearch = std::max(tally_.longestSearch, took);
    if (expired) {
      ++tally_.overruns;
      ADD_FAILURE() << "search ran past its bound of " << bound.count() << " ms; " << context;
    }
    EXPECT_GE(count, 0) << context;
    EXPECT_LE(count, kDeviceTableSize) << context;
    EXPECT_EQ(table.count, std::max(count, 0)) << context;
    tally_.recorded += std::max(count, 0);
    for (const std::string& entry : entries) EXPECT_TRUE(SafeEntry(entry)) << entry << context;
  }

  void WriteTo(sim::Simulator& simulator, const std::vector<sim::DeviceConfig>& devices,
               size_t index, size_t imageSize, const sim::Ports& ports,
               const std::string& context) {
    const std::string image = testing::ImageBytes(imageSize, static_cast<uint32_t>(imageSize));
    UpdateRequest request;
    request.deviceAddress = devices[index].address;
    request.localAddress = "127.0.0.1";
    request.devicePort = ports.update;
    request.firmwarePath = files_.Write("KS_N_soak_" + std::to_string(imageSize) + ".bin", image);
    const UpdateLimits limits = WriteLimits();
    const milliseconds bound = WriteBound(limits, imageSize);
    const size_t sessionsBefore = simulator.Sessions(index).size();
    const int strangersBefore = simulator.StrangerConnections();

    StopSignal stop;
    Watchdog watchdog(stop, bound);
    const RunOutcome outcome = testing::Write(request, limits, &stop);
    const bool expired = watchdog.Done();
    const std::string what = "write of " + std::to_string(imageSize) + " bytes to " +
                             request.deviceAddress + " gave " + std::to_string(outcome.code) +
                             context + "\nlog: " + outcome.Log();
    ++tally_.writes;
    ++tally_.codes[outcome.code];
    tally_.longestWrite = std::max(tally_.longestWrite, outcome.took);
    if (expired) {
      ++tally_.overruns;
      ADD_FAILURE() << "ran past its bound of " << bound.count() << " ms: " << what;
    }
    EXPECT_TRUE(SafeLog(outcome)) << what;

    if (outcome.code == kResultSuccess) {
      ++tally_.successes;
      simulator.WaitForSessions(index, sessionsBefore + 1, 2000);
      const std::vector<sim::UpdateSession> sessions = simulator.Sessions(index);
      const std::vector<uint8_t> bytes(image.begin(), image.end());
      const bool held =
          std::any_of(sessions.begin() + static_cast<long>(sessionsBefore), sessions.end(),
                      [&](const sim::UpdateSession& session) {
                        return session.complete && session.accepted && session.image == bytes;
                      });
      if (!held) {
        ++tally_.falseSuccesses;
        ADD_FAILURE() << "success reported, but the device does not hold the image: " << what;
      }
    }
    // A stranger counts once the writer sent it a byte; give it a moment to tell.
    if (simulator.StrangerConnections() != strangersBefore) {
      ++tally_.strangerDeliveries;
      ADD_FAILURE() << "the image went to a stranger: " << what;
    }
  }

  void Round(uint32_t seed) {
    sim::HostileTiming timing;
    timing.dripMs = kDripMs;
    timing.floodReplies = 0;  // floods have tests of their own (flood_test.cpp)
    const std::vector<sim::DeviceConfig> devices =
        sim::HostileDevices(seed, kDevicesPerRound, 2, timing);
    const sim::Ports ports = kesto::testing::NextTestPorts();
    const std::string context =
        "\nround seed " + std::to_string(seed) + "; kesto-sim" + Specs(devices) +
        " --discovery-port " + std::to_string(ports.discovery) + " --query-port " +
        std::to_string(ports.query) + " --update-port " + std::to_string(ports.update);
    const ProcessCounts before = CurrentCounts();
    {
      sim::Simulator simulator(devices, ports);
      ASSERT_EQ(simulator.Start(), 0) << context;
      Search(devices, ports, context);
      std::mt19937 pick(seed);
      for (size_t k = 0; k < kWritesPerRound; ++k) {
        constexpr size_t kSizes[] = {1, 1023, 1024, 1025, 3000, 5000, 8199};
        const size_t index = std::uniform_int_distribution<size_t>(0, devices.size() - 1)(pick);
        const size_t size = kSizes[std::uniform_int_distribution<size_t>(0, 6)(pick)];
        WriteTo(simulator, devices, index, size, ports, context);
      }
      simulator.Stop();
    }
    const ProcessCounts after = CurrentCounts();
    if (!(after == before)) {
      ++tally_.leaks;
      ADD_FAILURE() << "descriptors " << before.descriptors << " -> " << after.descriptors
                    << ", threads " << before.threads << " -> " << after.threads << context;
    }
    ++tally_.rounds;
    tally_.devices += static_cast<int>(devices.size());
  }

  testing::ScratchDir files_;
  Tally tally_;
};

TEST_F(HostileSoak, SearchesAndWritesKeepEveryPromise) {
  const int rounds = Rounds();
  const ProcessCounts start = CurrentCounts();
  std::vector<size_t> heap;
  const auto soakStart = SoakClock::now();
  for (int round = 0; round < rounds; ++round) {
    Round(static_cast<uint32_t>(1000 + round));
    if (HasFatalFailure() || tally_.overruns > 0) break;  // a hang would only repeat
    heap.push_back(mallinfo2().uordblks);
  }
  const auto took = std::chrono::duration_cast<milliseconds>(SoakClock::now() - soakStart);
  EXPECT_EQ(CurrentCounts(), start);

#ifndef KESTO_SOAK_SANITIZED
  if (heap.size() > kWarmUpRounds + 1) {
    const size_t first = heap[kWarmUpRounds];
    const size_t last = heap.back();
    EXPECT_LE(last, first + kHeapTolerance)
        << "heap in use grew from " << first << " to " << last << " bytes";
  }
#endif

  std::string codes;
  for (const auto& [code, count] : tally_.codes)
    codes += " " + std::to_string(code) + "x" + std::to_string(count);
  std::printf(
      "soak: %d rounds, %d hostile devices, %d searches (%d devices recorded), %d writes "
      "(%d successes; codes%s), overruns %d, false successes %d, images to strangers %d, "
      "leaking rounds %d; longest search %lld ms, longest write %lld ms, %lld ms in all\n",
      tally_.rounds, tally_.devices, tally_.searches, tally_.recorded, tally_.writes,
      tally_.successes, codes.c_str(), tally_.overruns, tally_.falseSuccesses,
      tally_.strangerDeliveries, tally_.leaks, static_cast<long long>(tally_.longestSearch.count()),
      static_cast<long long>(tally_.longestWrite.count()), static_cast<long long>(took.count()));
#ifndef KESTO_SOAK_SANITIZED
  if (heap.size() > kWarmUpRounds + 1)
    std::printf("soak: heap in use after warm-up %zu bytes, at the end %zu bytes\n",
                heap[kWarmUpRounds], heap.back());
#endif
}

}  // namespace
}  // namespace kesto
