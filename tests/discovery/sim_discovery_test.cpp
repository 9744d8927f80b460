// Whole searches against the device simulator on loopback: discovery, the
// information queries and the list entries over real sockets.
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include "discovery/device_list.h"
#include "discovery/discovery.h"
#include "platform/stop_signal.h"
#include "sim/simulator.h"
#include "support/test_ports.h"

namespace kesto {
namespace {

constexpr int kLongWaitMs = 60000;  // longer than any test may take: only a stop ends it

sim::DeviceConfig Device(const char* address, char kind, uint8_t macLast, int delayMs = 0) {
  sim::DeviceConfig device;
  device.address = address;
  device.kindLetter = kind;
  device.hardwareAddress = {0x02, 0x00, 0x00, 0x00, 0x00, macLast};
  device.faults.replyDelayMs = delayMs;
  return device;
}

class SimDiscoveryTest : public ::testing::Test {
 protected:
  // Starts the simulated devices and returns options that search them.
  DiscoveryOptions Start(std::vector<sim::DeviceConfig> devices) {
    simulator_ = std::make_unique<sim::Simulator>(std::move(devices), ports_);
    EXPECT_EQ(simulator_->Start(), 0);
    DiscoveryOptions options;
    options.localAddress = htonl(INADDR_LOOPBACK);
    options.discoveryPort = ports_.discovery;
    options.quietMs = 400;
    options.query.port = ports_.query;
    options.query.pauseMs = 20;
    return options;
  }
  sim::Simulator& simulator() { return *simulator_; }

  static std::vector<std::string> Addresses(const DeviceTable& table, int count) {
    std::vector<std::string> addresses;
    for (int i = 0; i < count; ++i)
      addresses.push_back(table.records[static_cast<size_t>(i)].addressText);
    return addresses;
  }

 private:
  sim::Ports ports_ = kesto::testing::NextTestPorts();
  std::unique_ptr<sim::Simulator> simulator_;
};

TEST_F(SimDiscoveryTest, FourKindsInReplyOrderWithTheirEntries) {
  auto board = Device("127.0.0.5", 'B', 0x05, 0);
  board.model = 3;
  board.sketchVersion = 90;
  auto wifi = Device("127.0.0.2", 'L', 0x02, 80);
  wifi.model = 0;
  wifi.sketchVersion = 125;
  wifi.rssi = -58;
  auto pq = Device("127.0.0.4", 'T', 0x04, 160);
  pq.sketchVersion = 131;
  pq.textVersion = 7;
  auto wireless = Device("127.0.0.3", 'W', 0x03, 240);
  wireless.model = 17;
  wireless.id = 15;
  DiscoveryOptions options = Start({board, wifi, pq, wireless});
  options.query.pauseMs = 100;

  DeviceTable table;
  const int count = DiscoverDevices(table, options);
  ASSERT_EQ(count, 4);
  EXPECT_EQ(simulator().DiscoveryRequests(), 1);
  EXPECT_EQ(Addresses(table, count),
            (std::vector<std::string>{"127.0.0.5", "127.0.0.2", "127.0.0.4", "127.0.0.3"}));
  const DeviceRecord& pqRecord = table.records[2];
  EXPECT_EQ(pqRecord.kind, kKindPq);
  EXPECT_EQ(pqRecord.kindLetter, 'T');
  EXPECT_EQ(pqRecord.sketchVersion, 131);
  EXPECT_EQ(pqRecord.textVersion, 7);
  EXPECT_EQ(table.records[3].idValue, 15);

  EXPECT_EQ(BuildDeviceList(table, count, options.query),
            (std::vector<std::string>{
                "127.0.0.5 / 02-00-00-00-00-05 / KS-B23 / ver. 1.00",
                "127.0.0.2 / 02-00-00-00-00-02 / WiFi / ver. 1.25 (-58 dBm)",
                "127.0.0.4 / 02-00-00-00-00-04 / PQ / ver. 1.31",
                "127.0.0.3 / 02-00-00-00-00-03 / KS-W17 / ver. 1.25",
            }));
}

// Fifty devices queried side by side come out in reply order, not in the
// order their queries end: the first to reply answers slowest. A device whose
// query fails is left out; one that answers twice is there twice.
TEST_F(SimDiscoveryTest, FleetListedInReplyOrder) {
  std::vector<sim::DeviceConfig> fleet = sim::FleetDevices(50);
  fleet[0].faults.dripMs = 2;
  fleet[7].faults.verWithoutCr = true;
  fleet[11].faults.replyTwice = true;
  DiscoveryOptions options = Start(fleet);
  std::vector<std::string> expected;
  for (const sim::DeviceConfig& device : fleet) {
    if (device.faults.verWithoutCr) continue;
    DeviceRecord record;
    record.addressText = device.address;
    record.hardwareAddress = device.hardwareAddress;
    record.kind = KindFromLetter(device.kindLetter);
    record.modelId = device.model;
    record.sketchVersion = device.sketchVersion;
    const std::string entry = DeviceListEntry(record, WantsRssi(record) ? device.rssi : 0);
    expected.insert(expected.end(), device.faults.replyTwice ? 2 : 1, entry);
  }
  DeviceTable table;
  const int count = DiscoverDevices(table, options);
  EXPECT_EQ(BuildDeviceList(table, count, options.query), expected);
}

TEST_F(SimDiscoveryTest, OverlongReplyIsSkipped) {
  auto overlong = Device("127.0.0.2", 'B', 0x02, 0);
  overlong.faults.replyLength = 31;
  auto exact = Device("127.0.0.3", 'B', 0x03, 80);
  DeviceTable table;
  const int count = DiscoverDevices(table, Start({overlong, exact}));
  EXPECT_EQ(Addresses(table, count), std::vector<std::string>{"127.0.0.3"});
}

TEST_F(SimDiscoveryTest, FailingQueryLeavesItsSlotToTheNextReply) {
  auto noCr = Device("127.0.0.2", 'L', 0x02, 0);
  noCr.faults.verWithoutCr = true;
  auto oneLine = Device("127.0.0.3", 'L', 0x03, 80);
  oneLine.faults.verOneLineThenClose = true;
  auto good = Device("127.0.0.4", 'W', 0x04, 160);
  good.faults.verWithoutKeys = true;
  good.faults.dumpWithoutModel = true;
  DeviceTable table;
  table.records[0].sketchVersion = 321;  // from an earlier run
  const int count = DiscoverDevices(table, Start({noCr, oneLine, good}));
  ASSERT_EQ(count, 1);
  const DeviceRecord& record = table.records[0];
  EXPECT_EQ(record.addressText, "127.0.0.4");
  EXPECT_EQ(record.hardwareAddress[5], 0x04);
  EXPECT_EQ(record.sketchVersion, 321);  // no keys: the slot keeps its earlier value
  EXPECT_EQ(record.modelId, 0);
  EXPECT_EQ(record.idValue, 0);
  EXPECT_EQ(ModelName(record.kind, record.modelId), "(model id:0)");
}

TEST_F(SimDiscoveryTest, HungInformationServiceIsBounded) {
  auto hung = Device("127.0.0.2", 'B', 0x02, 0);
  hung.faults.infoHang = true;
  auto fine = Device("127.0.0.3", 'B', 0x03, 80);
  DiscoveryOptions options = Start({hung, fine});
  options.query.receiveTimeoutMs = 300;
  DeviceTable table;
  const int count = DiscoverDevices(table, options);
  EXPECT_EQ(Addresses(table, count), std::vector<std::string>{"127.0.0.3"});
}

TEST_F(SimDiscoveryTest, MissingRssiKeyGivesNoSuffix) {
  auto wifi = Device("127.0.0.2", 'L', 0x02);
  wifi.rssi = -40;
  wifi.faults.rssiMissing = true;
  DiscoveryOptions options = Start({wifi});
  DeviceTable table;
  ASSERT_EQ(DiscoverDevices(table, options), 1);
  EXPECT_EQ(BuildDeviceList(table, 1, options.query),
            std::vector<std::string>{"127.0.0.2 / 02-00-00-00-00-02 / WiFi / ver. 1.25"});
}

TEST_F(SimDiscoveryTest, NoDeviceGivesZeroAfterTheQuietSecond) {
  auto silent = Device("127.0.0.2", 'B', 0x02);
  silent.faults.noDiscoveryReply = true;
  DiscoveryOptions options = Start({silent});
  options.quietMs = 1000;
  DeviceTable table;
  EXPECT_EQ(DiscoverDevices(table, options), 0);
  EXPECT_EQ(simulator().DiscoveryRequests(), 1);
}

TEST_F(SimDiscoveryTest, StopEndsARunHeldByAHungDevice) {
  auto hung = Device("127.0.0.2", 'B', 0x02);
  hung.faults.infoHang = true;
  DiscoveryOptions options = Start({hung});
  StopSignal stop;
  options.quietMs = kLongWaitMs;
  options.query.connectTimeoutMs = kLongWaitMs;
  options.query.receiveTimeoutMs = kLongWaitMs;
  options.query.stop = &stop;
  DeviceTable table;
  auto run = std::async(std::launch::async, [&] { return DiscoverDevices(table, options); });
  // Most likely inside the hung query by now; a stop anywhere in the run gives 0.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  stop.Trigger();
  EXPECT_EQ(run.get(), 0);
}

}  // namespace
}  // namespace kesto
