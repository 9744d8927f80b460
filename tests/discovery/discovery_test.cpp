// Discovery runs on loopback against scripted responders: the exact request,
// reply sizes, slot reuse, the full table, stops.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "discovery/discovery.h"
#include "platform/format.h"
#include "platform/stop_signal.h"
#include "scripted_device.h"
#include "support/test_ports.h"

namespace kesto {
namespace {

using namespace std::string_literals;
using testing::BroadcastCatcher;
using testing::DiscoveryReplyBytes;
using testing::DumpAnswer;
using testing::Loopback;
using testing::ScriptedInfoService;
using testing::SendFrom;
using testing::VerAnswer;

const std::string kVer = "VER\n\0"s;
const std::string kDump = "DUMP\n\0"s;
constexpr int kLongWaitMs = 60000;  // longer than any test may take: only a stop ends it
constexpr int kBroadcastWaitMs = 5000;

class DiscoveryTest : public ::testing::Test {
 protected:
  DiscoveryOptions Options() const {
    DiscoveryOptions options;
    options.localAddress = Loopback(1);
    options.discoveryPort = ports_.discovery;
    options.quietMs = 300;
    options.query.port = ports_.query;
    options.query.pauseMs = 5;
    return options;
  }

  // An information service at 127.0.0.k answering VER and DUMP normally.
  ScriptedInfoService& Device(int k, std::string ver = VerAnswer(125, 3),
                              bool closeAfterVer = true) {
    services_.push_back(
        std::make_unique<ScriptedInfoService>(Format("127.0.0.%d", k), ports_.query));
    auto& service = *services_.back();
    service.SetAnswer(kVer, {std::move(ver), closeAfterVer});
    service.SetAnswer(kDump, {DumpAnswer(k, 1)});
    EXPECT_EQ(service.Start(), 0);
    return service;
  }

  std::future<int> StartRun(DeviceTable& table, const DiscoveryOptions& options) {
    return std::async(std::launch::async,
                      [&table, options] { return DiscoverDevices(table, options); });
  }

  // A run whose quiet time outlasts any test: a limit or the stop ends it.
  std::future<int> StartLongRun(DeviceTable& table, StopSignal& stop, DiscoveryOptions options) {
    options.quietMs = kLongWaitMs;
    options.query.stop = &stop;
    return StartRun(table, options);
  }

  // Answers the run's broadcast with one datagram per (k, bytes), from 127.0.0.k.
  void Reply(BroadcastCatcher& catcher,
             const std::vector<std::pair<int, std::vector<uint8_t>>>& replies) {
    const auto request = catcher.Receive(kBroadcastWaitMs);
    ASSERT_TRUE(request);
    for (const auto& [k, bytes] : replies)
      ASSERT_EQ(SendFrom(Format("127.0.0.%d", k), request->sender, bytes), 0);
  }

  BroadcastCatcher Catcher() const { return BroadcastCatcher(ports_.discovery); }

 private:
  sim::Ports ports_ = kesto::testing::NextTestPorts();
  std::vector<std::unique_ptr<ScriptedInfoService>> services_;
};

std::array<uint8_t, 6> Mac(uint8_t last) {
  return {0x02, 0, 0, 0, 0, last};
}

// Whether a run ends by itself, long before a test's time-out; if not, the
// stop ends it so that the test fails instead of hanging.
bool EndsWithoutTheStop(std::future<int>& run, StopSignal& stop) {
  constexpr auto kHangGuard = std::chrono::seconds(30);  // below kLongWaitMs
  if (run.wait_for(kHangGuard) == std::future_status::ready) return true;
  stop.Trigger();
  run.wait();
  return false;
}

TEST_F(DiscoveryTest, SendsLnOnceFromTheLocalAddressAndEndsQuietWithZero) {
  BroadcastCatcher catcher = Catcher();
  ASSERT_TRUE(catcher.ok());
  DeviceTable table;
  table.count = 5;
  table.records[0].sketchVersion = 55;  // from an earlier run
  auto run = StartRun(table, Options());
  const auto request = catcher.Receive(kBroadcastWaitMs);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->bytes, "LN");
  EXPECT_EQ(Ipv4Text(request->sender.sin_addr.s_addr), "127.0.0.1");
  EXPECT_EQ(run.get(), 0);
  EXPECT_EQ(table.count, 0);
  EXPECT_EQ(table.records[0].sketchVersion, 55);  // slots are never cleared
  EXPECT_FALSE(catcher.Receive(0)) << "the request is never repeated";
}

TEST_F(DiscoveryTest, RecordsRepliesInArrivalOrderAndSkipsOverlongOnes) {
  Device(2);
  auto& overlong = Device(3);
  Device(4);
  Device(5);
  BroadcastCatcher catcher = Catcher();
  DeviceTable table;
  auto run = StartRun(table, Options());
  Reply(catcher, {
                     {2, DiscoveryReplyBytes('B', Mac(2))},
                     {3, DiscoveryReplyBytes('L', Mac(3), 31)},  // one byte too many
                     {4, DiscoveryReplyBytes('T', Mac(4), 12)},  // short: the rest reads as zero
                     {2, DiscoveryReplyBytes('W', Mac(9))},      // the same device again
                     {5, DiscoveryReplyBytes('X', Mac(5))},      // unknown kind letter
                 });
  ASSERT_EQ(run.get(), 4);
  ASSERT_EQ(table.count, 4);
  const auto& r = table.records;
  EXPECT_EQ(r[0].addressText, "127.0.0.2");
  EXPECT_EQ(r[0].kind, kKindBoard);
  EXPECT_EQ(r[0].hardwareAddress, Mac(2));
  EXPECT_EQ(r[0].modelId, 2);
  EXPECT_EQ(r[1].addressText, "127.0.0.4");
  EXPECT_EQ(r[1].kind, kKindPq);
  EXPECT_EQ(r[1].hardwareAddress, (std::array<uint8_t, 6>{}));
  EXPECT_EQ(r[2].addressText, "127.0.0.2");
  EXPECT_EQ(r[2].kind, kKindWireless);
  EXPECT_EQ(r[2].hardwareAddress, Mac(9));
  EXPECT_EQ(r[3].addressText, "127.0.0.5");
  EXPECT_EQ(r[3].kind, kKindUnknown);
  EXPECT_TRUE(overlong.Requests().empty());
}

TEST_F(DiscoveryTest, FailedQueryLeavesItsSlotToTheNextReply) {
  Device(2, "SKETCH VER : 130\nTEXT VER : 9\n");  // no CR: the query fails
  Device(3, "VERSION\r\nUNKNOWN\r\n");            // no keys: versions stay
  BroadcastCatcher catcher = Catcher();
  DeviceTable table;
  table.records[0].sketchVersion = 777;
  table.records[0].textVersion = 5;
  table.records[1].addressText = "earlier";
  auto run = StartRun(table, Options());
  Reply(catcher, {{2, DiscoveryReplyBytes('B', Mac(2))}, {3, DiscoveryReplyBytes('L', Mac(3))}});
  ASSERT_EQ(run.get(), 1);
  EXPECT_EQ(table.records[0].addressText, "127.0.0.3");
  EXPECT_EQ(table.records[0].hardwareAddress, Mac(3));
  EXPECT_EQ(table.records[0].kind, kKindWiFi);
  EXPECT_EQ(table.records[0].sketchVersion, 777);
  EXPECT_EQ(table.records[0].textVersion, 5);
  EXPECT_EQ(table.records[1].addressText, "earlier");
}

TEST_F(DiscoveryTest, HungInformationServiceIsBounded) {
  Device(2, "", false);  // accepts, then says nothing
  Device(3);
  BroadcastCatcher catcher = Catcher();
  DeviceTable table;
  DiscoveryOptions options = Options();
  options.query.receiveTimeoutMs = 300;
  auto run = StartRun(table, options);
  Reply(catcher, {{2, DiscoveryReplyBytes('B', Mac(2))}, {3, DiscoveryReplyBytes('B', Mac(3))}});
  ASSERT_EQ(run.get(), 1);
  EXPECT_EQ(table.records[0].addressText, "127.0.0.3");
}

// The run ends as soon as the table is full, without waiting for the quiet
// time: nothing more could be recorded, and a flood would otherwise keep it going.
TEST_F(DiscoveryTest, FullTableEndsTheRun) {
  constexpr int kReplies = 300;
  constexpr int kBatch = 16;
  auto& device = Device(2);
  BroadcastCatcher catcher = Catcher();
  DeviceTable table;
  StopSignal stop;
  DiscoveryOptions options = Options();
  options.query.pauseMs = 0;
  auto run = StartLongRun(table, stop, options);
  const auto request = catcher.Receive(kBroadcastWaitMs);
  ASSERT_TRUE(request);
  // Batches small enough for the socket's receive buffer; each waits for the
  // queries of the ones before, as long as there are queries to wait for.
  for (int sent = 0; sent < kReplies;) {
    for (int i = 0; i < kBatch && sent < kReplies; ++i, ++sent) {
      auto bytes = DiscoveryReplyBytes(
          'B', {0, 0, 0, 0, static_cast<uint8_t>(sent >> 8), static_cast<uint8_t>(sent & 0xff)});
      ASSERT_EQ(SendFrom("127.0.0.2", request->sender, bytes), 0);
    }
    const size_t queried = static_cast<size_t>(std::min(sent, kDeviceTableSize));
    ASSERT_TRUE(device.WaitForConnections(2 * queried, 20000));
  }
  EXPECT_TRUE(EndsWithoutTheStop(run, stop)) << "a full table must end the run";
  ASSERT_EQ(run.get(), kDeviceTableSize);
  EXPECT_EQ(table.count, kDeviceTableSize);
  for (int i = 0; i < kDeviceTableSize; ++i) {
    const auto& mac = table.records[static_cast<size_t>(i)].hardwareAddress;
    ASSERT_EQ(mac[4] * 256 + mac[5], i);
  }
  EXPECT_EQ(device.Requests().size(), 2u * kDeviceTableSize) << "no query once the table is full";
}

// Replies that record nothing (too long, from a host without the service)
// arriving faster than the quiet time: the count of them ends the run.
TEST_F(DiscoveryTest, FloodOfUselessRepliesEndsTheRunAfterItsLimit) {
  Device(2);
  BroadcastCatcher catcher = Catcher();
  DeviceTable table;
  StopSignal stop;
  DiscoveryOptions options = Options();
  options.unrecordedReplyLimit = 40;
  auto run = StartLongRun(table, stop, options);
  const auto request = catcher.Receive(kBroadcastWaitMs);
  ASSERT_TRUE(request);
  ASSERT_EQ(SendFrom("127.0.0.2", request->sender, DiscoveryReplyBytes('B', Mac(2))), 0);
  for (int i = 0; i < 30; ++i) {
    ASSERT_EQ(SendFrom("127.0.0.3", request->sender, DiscoveryReplyBytes('B', Mac(3), 31)), 0);
    ASSERT_EQ(SendFrom("127.0.0.4", request->sender, DiscoveryReplyBytes('B', Mac(4))), 0);
  }
  EXPECT_TRUE(EndsWithoutTheStop(run, stop)) << "the flood must end the run";
  EXPECT_EQ(run.get(), 1);
  EXPECT_EQ(table.records[0].addressText, "127.0.0.2");
}

// A flood that never lets the quiet time pass, whatever it sends, ends with
// the run's time limit.
TEST_F(DiscoveryTest, RunLimitEndsAnEndlessFlood) {
  BroadcastCatcher catcher = Catcher();
  DeviceTable table;
  StopSignal stop;
  DiscoveryOptions options = Options();
  options.runLimitMs = 400;
  auto run = StartLongRun(table, stop, options);
  const auto request = catcher.Receive(kBroadcastWaitMs);
  ASSERT_TRUE(request);
  // Bounded, but far longer than the run may last.
  std::atomic<bool> ended{false};
  std::thread flood([&] {
    for (int i = 0; i < 1000 && !ended; ++i) {
      SendFrom("127.0.0.5", request->sender, DiscoveryReplyBytes('B', Mac(5), 31));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  const bool endedByItself = EndsWithoutTheStop(run, stop);
  ended = true;
  flood.join();
  EXPECT_TRUE(endedByItself) << "the run limit must end the run";
  EXPECT_EQ(run.get(), 0);
}

TEST_F(DiscoveryTest, BindFailureReturnsMinusOneAndSendsNothing) {
  BroadcastCatcher catcher = Catcher();
  DeviceTable table;
  table.count = 3;
  DiscoveryOptions options = Options();
  options.localAddress = *ParseIpv4("192.0.2.1");  // documentation range: never ours
  EXPECT_EQ(DiscoverDevices(table, options), -1);
  EXPECT_EQ(table.count, 0);
  EXPECT_FALSE(catcher.Receive(200));
}

TEST_F(DiscoveryTest, StopEndsTheWaitForReplies) {
  BroadcastCatcher catcher = Catcher();
  StopSignal stop;
  DeviceTable table;
  auto run = StartLongRun(table, stop, Options());
  ASSERT_TRUE(catcher.Receive(kBroadcastWaitMs));
  stop.Trigger();
  EXPECT_EQ(run.get(), 0);
}

// The queries run side by side: a stop ends them all, and only a device whose
// query had ended can be recorded.
TEST_F(DiscoveryTest, StopDuringTheQueriesEndsTheRun) {
  auto& fine = Device(2);
  auto& hung = Device(3, "", false);
  BroadcastCatcher catcher = Catcher();
  StopSignal stop;
  DeviceTable table;
  DiscoveryOptions options = Options();
  options.query.connectTimeoutMs = kLongWaitMs;
  options.query.receiveTimeoutMs = kLongWaitMs;
  auto run = StartLongRun(table, stop, options);
  Reply(catcher, {{3, DiscoveryReplyBytes('B', Mac(3))}, {2, DiscoveryReplyBytes('B', Mac(2))}});
  ASSERT_TRUE(hung.WaitForConnections(1, 10000));
  ASSERT_TRUE(fine.WaitForConnections(2, 10000));
  stop.Trigger();
  ASSERT_EQ(run.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  const int count = run.get();
  ASSERT_LE(count, 1);
  EXPECT_EQ(table.count, count);
  if (count == 1) {
    EXPECT_EQ(table.records[0].addressText, "127.0.0.2");
  }
}

}  // namespace
}  // namespace kesto
