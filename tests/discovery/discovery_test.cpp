// Searches against the simulator: reply order, the full table, limits, stops.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <tuple>

#include "discovery/device_list.h"
#include "discovery/direct.h"
#include "discovery/discovery.h"
#include "platform/errors.h"
#include "platform/socket.h"
#include "platform/stop_signal.h"
#include "sim/simulator.h"
#include "support/test_ports.h"

namespace kesto {
namespace {

constexpr int kLongWaitMs = 60000;  // longer than any test may take: only a stop ends it

class DiscoveryTest : public ::testing::Test {
 protected:
  // Devices as kesto-sim --device specs.
  void StartDevices(const std::vector<std::string>& specs) {
    std::vector<sim::DeviceConfig> devices;
    for (const std::string& spec : specs) devices.push_back(sim::ParseDeviceSpec(spec).value());
    StartConfigs(devices);
  }
  void StartConfigs(const std::vector<sim::DeviceConfig>& devices) {
    simulator_ = std::make_unique<sim::Simulator>(devices, ports_);
    ASSERT_EQ(simulator_->Start(), 0);
  }

  // A run whose quiet time outlasts any test unless quietMs is given.
  DiscoveryOptions Options(int quietMs = kLongWaitMs) {
    DiscoveryOptions options;
    options.localAddress = htonl(INADDR_LOOPBACK);
    options.discoveryPort = ports_.discovery;
    options.quietMs = quietMs;
    options.query.port = ports_.query;
    options.query.pauseMs = 5;
    options.query.stop = &stop_;
    return options;
  }

  std::future<int> Start(DeviceTable& table, const DiscoveryOptions& options) {
    return std::async(std::launch::async,
                      [&table, options] { return DiscoverDevices(table, options).value_or(-1); });
  }

  // The run's count if it ends by itself long before a test's time-out; else
  // the stop ends it, so that the test fails instead of hanging.
  int EndsByItself(DeviceTable& table, const DiscoveryOptions& options) {
    auto run = Start(table, options);
    if (run.wait_for(std::chrono::seconds(30)) == std::future_status::ready) return run.get();
    stop_.Trigger();
    run.wait();
    return -2;
  }

  sim::Ports ports_ = kesto::testing::NextTestPorts();
  std::unique_ptr<sim::Simulator> simulator_;
  StopSignal stop_;
};

// Fifty devices queried side by side come out in reply order, not in the
// order their queries end: the first to reply answers slowest. A device whose
// query fails or whose reply is too long is left out; one that answers twice
// is there twice; a short reply reads as zeros where it ends.
TEST_F(DiscoveryTest, FleetListedInReplyOrder) {
  std::vector<sim::DeviceConfig> fleet = sim::FleetDevices(50);
  fleet[0].faults.dripMs = 2;
  fleet[7].faults.verWithoutCr = true;
  fleet[11].faults.replyTwice = true;
  fleet[13].faults.replyLength = 31;
  fleet[17].faults.replyLength = 12;  // kind letter in, hardware address out
  StartConfigs(fleet);
  std::vector<std::string> expected;
  for (const sim::DeviceConfig& device : fleet) {
    DeviceRecord record;
    record.addressText = device.address;
    if (device.faults.replyLength == 30) record.hardwareAddress = device.hardwareAddress;
    record.kind = KindFromLetter(device.kindLetter);
    record.modelId = device.model;
    record.sketchVersion = device.sketchVersion;
    const std::string entry = DeviceListEntry(record, WantsRssi(record) ? device.rssi : 0);
    if (!device.faults.verWithoutCr && device.faults.replyLength <= 30)
      expected.insert(expected.end(), device.faults.replyTwice ? 2 : 1, entry);
  }
  DeviceTable table;
  const DiscoveryOptions options = Options(400);
  table.count = 9;  // a former run's count: reset
  EXPECT_EQ(BuildDeviceList(table, DiscoverDevices(table, options).value(), options.query),
            expected);
  EXPECT_EQ(simulator_->DiscoveryRequests(), 1) << "the request is sent once";
}

// The run ends as soon as the table is full, without waiting for the quiet
// time: nothing more could be recorded, and a flood would keep it going.
TEST_F(DiscoveryTest, FullTableEndsTheRun) {
  StartDevices({"address=127.0.0.2,kind=B,fault=floodReplies:300,fault=floodIntervalMs:2"});
  DeviceTable table;
  EXPECT_EQ(EndsByItself(table, Options()), kDeviceTableSize);
}

// Named devices end the run once each has replied and its query has ended,
// however long the quiet time: the slow one is waited for, the one whose
// query fails counts as done, and the run needs no stop.
TEST_F(DiscoveryTest, NamedDevicesEndTheRunOnceEachIsDone) {
  StartDevices({"address=127.0.0.2", "address=127.0.0.3,fault=replyDelayMs:100",
                "address=127.0.0.4,fault=verWithoutCr"});
  DiscoveryOptions options = Options();
  options.awaited = {*ParseIpv4("127.0.0.4"), *ParseIpv4("127.0.0.3"), *ParseIpv4("127.0.0.3")};
  DeviceTable table;
  ASSERT_EQ(EndsByItself(table, options), 2);
  EXPECT_EQ(table.records[1].addressText, "127.0.0.3");
}

// Replies that record nothing, faster than the quiet time: their count ends
// the run; and an endless flood ends with the run's time limit, which also
// caps each query's whole exchange (a dripping device cannot hold the run).
TEST_F(DiscoveryTest, FloodsAndDripsEndWithTheRunsLimits) {
  const std::tuple<const char*, int, int> cases[] = {
      {"fault=replyLength:31,fault=floodReplies:60", 40, 300000},
      {"fault=replyLength:31,fault=floodReplies:5000,fault=floodIntervalMs:20", 4096, 400},
      {"fault=dripMs:500", 4096, 600}};
  for (const auto& [faults, unrecordedLimit, runLimitMs] : cases) {
    SCOPED_TRACE(faults);
    ports_ = kesto::testing::NextTestPorts();
    StartDevices({std::string("address=127.0.0.2,") + faults});
    DeviceTable table;
    DiscoveryOptions options = Options();
    options.unrecordedReplyLimit = unrecordedLimit;
    options.runLimitMs = runLimitMs;
    options.query.receiveTimeoutMs = options.query.exchangeDeadlineMs = kLongWaitMs;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(EndsByItself(table, options), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  }
}

// A stop ends a query hung on its device, and with it the run, which keeps
// what was recorded: the stop comes once the second device's VER and DUMP
// answers were read, while the first one's query hangs.
TEST_F(DiscoveryTest, StopEndsTheRunWithWhatWasRecorded) {
  StartDevices({"address=127.0.0.3,fault=infoHang", "address=127.0.0.2,fault=replyDelayMs:100"});
  DeviceTable table;
  DiscoveryOptions options = Options();
  options.query.connectTimeoutMs = options.query.receiveTimeoutMs = kLongWaitMs;
  auto run = Start(table, options);
  EXPECT_TRUE(simulator_->WaitForInfoAnswersTaken(1, 2, 30000));
  stop_.Trigger();
  EXPECT_EQ(run.get(), 1);
  EXPECT_EQ(table.records[0].addressText, "127.0.0.2");
}

// A search that cannot bind tells why: the system's error comes out.
TEST_F(DiscoveryTest, FailedSearchCarriesItsError) {
  DiscoveryOptions options = Options();
  options.localAddress = *ParseIpv4("192.0.2.1");  // documentation range: never ours
  DeviceTable table;
  const auto notOurs = Failure(SocketError(errors::kAddressNotAvailable));
  EXPECT_EQ(DiscoverDevices(table, options), notOurs);
  EXPECT_EQ(DiscoverDevicesAt(table, {htonl(INADDR_LOOPBACK)}, options), notOurs);
  // A refused send is a failed search, not an empty network (nor a wait for replies).
  options = Options(300);
  options.discoveryPort = 0;
  const auto refused = Failure(SocketError(errors::kInvalidArgument));
  EXPECT_EQ(DiscoverDevices(table, options), refused);
  EXPECT_EQ(DiscoverDevicesAt(table, {htonl(INADDR_LOOPBACK)}, options), refused);
}

}  // namespace
}  // namespace kesto
