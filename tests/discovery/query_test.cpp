// The VER / DUMP / RSSI exchanges against a scripted information service on
// loopback, where every byte the device sends is chosen by the test.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "discovery/device_list.h"
#include "discovery/device_query.h"
#include "platform/format.h"
#include "platform/stop_signal.h"
#include "scripted_device.h"
#include "support/test_ports.h"

namespace kesto {
namespace {

using namespace std::string_literals;
using testing::DumpAnswer;
using testing::Loopback;
using testing::ScriptedInfoService;
using testing::VerAnswer;

const std::string kVer = "VER\n\0"s;
const std::string kDump = "DUMP\n\0"s;
const std::string kRssi = "RSSI\n\0"s;
constexpr int kLongWaitMs = 60000;  // longer than any test may take: only a stop ends it

class QueryTest : public ::testing::Test {
 protected:
  QueryOptions Options() const {
    QueryOptions options;
    options.localAddress = Loopback(1);
    options.port = port_;
    options.pauseMs = 10;
    return options;
  }

  // A device at 127.0.0.k whose service answers VER and DUMP normally unless
  // the test scripts otherwise.
  ScriptedInfoService& Service(int k) {
    services_.push_back(std::make_unique<ScriptedInfoService>(Format("127.0.0.%d", k), port_));
    return *services_.back();
  }
  static void Start(ScriptedInfoService& service) { ASSERT_EQ(service.Start(), 0); }

  static DeviceRecord Device(int k, char letter = 'B') {
    DeviceRecord record;
    record.addressText = Format("127.0.0.%d", k);
    record.kindLetter = letter;
    return record;
  }

 private:
  uint16_t port_ = kesto::testing::NextTestPorts().query;
  std::vector<std::unique_ptr<ScriptedInfoService>> services_;
};

TEST_F(QueryTest, VerThenDumpEachWithItsNulOnItsOwnConnection) {
  auto& service = Service(2);
  service.SetAnswer(kVer, {VerAnswer(131, 4)});
  service.SetAnswer(kDump, {DumpAnswer(17, 2)});
  Start(service);
  DeviceRecord record = Device(2, 'W');
  QueryOptions options = Options();
  options.pauseMs = 100;
  ASSERT_TRUE(QueryDeviceInfo(record, options));
  EXPECT_EQ(service.Requests(), (std::vector<std::string>{kVer, kDump}));
  EXPECT_EQ(record.sketchVersion, 131);
  EXPECT_EQ(record.textVersion, 4);
  EXPECT_EQ(record.kind, kKindWireless);
  EXPECT_EQ(record.modelId, 17);
  EXPECT_EQ(record.idValue, 2);
}

TEST_F(QueryTest, FailedVerLeavesMinusOnesAndTheVersions) {
  const std::string answers[] = {
      "SKETCH VER : 125\nTEXT VER : 3\n",  // LF only
      "SKETCH VER : 125\r\n",              // one line, then the close
      "",                                  // closed without a word
  };
  int k = 2;
  for (const std::string& answer : answers) {
    auto& service = Service(k);
    service.SetAnswer(kVer, {answer});
    service.SetAnswer(kDump, {DumpAnswer(1, 1)});
    Start(service);
    DeviceRecord record = Device(k++, 'L');
    record.sketchVersion = 88;
    record.textVersion = 7;
    EXPECT_FALSE(QueryDeviceInfo(record, Options())) << answer;
    EXPECT_EQ(record.kind, -1);
    EXPECT_EQ(record.modelId, -1);
    EXPECT_EQ(record.idValue, -1);
    EXPECT_EQ(record.sketchVersion, 88);
    EXPECT_EQ(record.textVersion, 7);
    EXPECT_EQ(service.Requests(), std::vector<std::string>{kVer}) << "no DUMP after a failed VER";
  }
}

TEST_F(QueryTest, VerWithoutKeysSucceedsAndKeepsTheSlotsVersions) {
  auto& service = Service(2);
  service.SetAnswer(kVer, {"VERSION\r\nUNKNOWN\r\n"});
  service.SetAnswer(kDump, {DumpAnswer(3, 4)});
  Start(service);
  DeviceRecord record = Device(2);
  record.sketchVersion = 140;  // left by an earlier occupant of the slot
  record.textVersion = 9;
  ASSERT_TRUE(QueryDeviceInfo(record, Options()));
  EXPECT_EQ(record.sketchVersion, 140);
  EXPECT_EQ(record.textVersion, 9);
  EXPECT_EQ(record.modelId, 3);
}

TEST_F(QueryTest, VerStopsAtTheSecondLineFeed) {
  auto& service = Service(2);
  // The device keeps the connection open and sends more: none of it is waited for.
  service.SetAnswer(kVer, {VerAnswer(125, 3) + "SKETCH VER : 999\r\n", false});
  service.SetAnswer(kDump, {DumpAnswer(0, 1)});
  Start(service);
  DeviceRecord record = Device(2);
  QueryOptions options = Options();
  options.receiveTimeoutMs = kLongWaitMs;
  ASSERT_TRUE(QueryDeviceInfo(record, options));
  EXPECT_EQ(record.sketchVersion, 125);
}

TEST_F(QueryTest, VerLongerThan256BytesWithoutTheSecondLineFeedFails) {
  auto& service = Service(2);
  service.SetAnswer(kVer, {"SKETCH VER : 125\r\n" + std::string(300, 'x') + "\r\n", false});
  service.SetAnswer(kDump, {DumpAnswer(0, 1)});
  Start(service);
  DeviceRecord record = Device(2);
  QueryOptions options = Options();
  options.receiveTimeoutMs = kLongWaitMs;
  EXPECT_FALSE(QueryDeviceInfo(record, options));
}

TEST_F(QueryTest, FailedDumpKeepsTheKindAndVersions) {
  auto& service = Service(2);
  service.SetAnswer(kVer, {VerAnswer(125, 3)});
  service.SetAnswer(kDump, {"MODEL: 1\r\n", false});  // then silence
  Start(service);
  DeviceRecord record = Device(2, 'T');
  QueryOptions options = Options();
  options.receiveTimeoutMs = 300;
  EXPECT_FALSE(QueryDeviceInfo(record, options));
  EXPECT_EQ(record.kind, kKindPq);
  EXPECT_EQ(record.sketchVersion, 125);
  EXPECT_EQ(record.modelId, -1);
  EXPECT_EQ(record.idValue, -1);
}

TEST_F(QueryTest, DumpWithoutEntriesSucceedsWithZeros) {
  auto& service = Service(2);
  service.SetAnswer(kVer, {VerAnswer(125, 3)});
  service.SetAnswer(kDump, {"MODEL: 5\r\nNAME : x\r\n"});
  Start(service);
  DeviceRecord record = Device(2);
  ASSERT_TRUE(QueryDeviceInfo(record, Options()));
  EXPECT_EQ(record.modelId, 0);
  EXPECT_EQ(record.idValue, 0);
}

TEST_F(QueryTest, DumpTakesAtMost4096Bytes) {
  auto& service = Service(2);
  service.SetAnswer(kVer, {VerAnswer(125, 3)});
  // MODEL starts at byte 4093, so only "MOD" is taken; the connection stays open.
  std::string dump = "ID: 2\r\n";
  dump += std::string(4093 - dump.size(), 'x') + "MODEL: 3\r\n";
  service.SetAnswer(kDump, {dump, false});
  Start(service);
  DeviceRecord record = Device(2);
  QueryOptions options = Options();
  options.receiveTimeoutMs = kLongWaitMs;
  ASSERT_TRUE(QueryDeviceInfo(record, options));
  EXPECT_EQ(record.modelId, 0);
  EXPECT_EQ(record.idValue, 0);
}

TEST_F(QueryTest, LocalAddressNotOfThisHostFailsBeforeConnecting) {
  auto& service = Service(2);
  service.SetAnswer(kVer, {VerAnswer(125, 3)});
  Start(service);
  DeviceRecord record = Device(2);
  QueryOptions options = Options();
  options.localAddress = *ParseIpv4("192.0.2.1");  // documentation range: never ours
  EXPECT_FALSE(QueryDeviceInfo(record, options));
  EXPECT_TRUE(service.Requests().empty());
}

TEST_F(QueryTest, ConnectionItselfIsNotBoundToTheLocalAddress) {
  auto& service = Service(2);
  service.SetAnswer(kVer, {VerAnswer(125, 3)});
  service.SetAnswer(kDump, {DumpAnswer(0, 1)});
  Start(service);
  DeviceRecord record = Device(2);
  QueryOptions options = Options();
  options.localAddress = Loopback(5);  // bindable, but not the route's source
  ASSERT_TRUE(QueryDeviceInfo(record, options));
  EXPECT_EQ(service.Peers(), (std::vector<std::string>{"127.0.0.1", "127.0.0.1"}));
}

TEST_F(QueryTest, RefusedConnectionFails) {
  DeviceRecord record = Device(9);
  EXPECT_FALSE(QueryDeviceInfo(record, Options()));
  int32_t rssi = 0;
  EXPECT_FALSE(QueryRssi(record, rssi, Options()));
}

TEST_F(QueryTest, ConnectIsBounded) {
  // A listener with a full accept queue drops further SYNs: the connect hangs.
  int error = 0;
  Socket listener = Socket::Open(SOCK_STREAM, error);
  ASSERT_EQ(error, 0);
  const QueryOptions base = Options();
  ASSERT_EQ(listener.Bind(MakeSocketAddress(Loopback(11), base.port)), 0);
  ASSERT_EQ(listener.Listen(0), 0);
  Socket filler = Socket::Open(SOCK_STREAM, error);
  ASSERT_EQ(filler.Connect(MakeSocketAddress(Loopback(11), base.port), 2000, nullptr), 0);

  DeviceRecord record = Device(11);
  QueryOptions options = base;
  options.connectTimeoutMs = 300;
  options.receiveTimeoutMs = kLongWaitMs;
  EXPECT_FALSE(QueryDeviceInfo(record, options));
}

TEST_F(QueryTest, SilentServiceIsBoundedByTheReceiveTimeout) {
  auto& service = Service(2);
  service.SetAnswer(kVer, {"", false});
  service.SetAnswer(kRssi, {"RSSI : -5", false});
  Start(service);
  DeviceRecord record = Device(2);
  QueryOptions options = Options();
  options.receiveTimeoutMs = 300;
  EXPECT_FALSE(QueryDeviceInfo(record, options));
  int32_t rssi = 0;
  EXPECT_FALSE(QueryRssi(record, rssi, options));
  EXPECT_EQ(rssi, 0);
}

// Each byte comes well within the receive time-out, so only the deadline of
// the whole exchange can end these; without it each would succeed, late.
TEST_F(QueryTest, DrippingRepliesAreCutOffByTheExchangeDeadline) {
  constexpr int kGapMs = 40;
  QueryOptions options = Options();
  options.receiveTimeoutMs = kLongWaitMs;
  options.exchangeDeadlineMs = 300;  // the replies below take over a second to drip

  auto& ver = Service(2);
  ver.SetAnswer(kVer, {VerAnswer(125, 3), true, kGapMs});
  Start(ver);
  DeviceRecord verRecord = Device(2);
  EXPECT_FALSE(QueryDeviceInfo(verRecord, options));
  EXPECT_EQ(verRecord.kind, -1);

  auto& dump = Service(3);
  dump.SetAnswer(kVer, {VerAnswer(125, 3)});
  dump.SetAnswer(kDump, {DumpAnswer(3, 1), true, kGapMs});
  Start(dump);
  DeviceRecord dumpRecord = Device(3);
  EXPECT_FALSE(QueryDeviceInfo(dumpRecord, options));
  EXPECT_EQ(dumpRecord.modelId, -1);

  auto& rssi = Service(4);
  rssi.SetAnswer(kRssi, {"RSSI : -62 dBm, a long line dripped slowly\r\n", true, kGapMs});
  Start(rssi);
  int32_t value = 0;
  EXPECT_FALSE(QueryRssi(Device(4), value, options));
  EXPECT_EQ(value, 0);
}

// The same replies at the same pace pass when the deadline leaves them room:
// the deadline bounds the exchange, it does not refuse slow devices.
TEST_F(QueryTest, SlowRepliesWithinTheDeadlinePass) {
  auto& service = Service(2);
  service.SetAnswer(kVer, {"SKETCH VER : 7\r\nT\r\n", true, 5});
  service.SetAnswer(kDump, {"MODEL: 3\r\nID: 4\r\n", true, 5});
  Start(service);
  QueryOptions options = Options();
  options.exchangeDeadlineMs = 30000;
  DeviceRecord record = Device(2);
  ASSERT_TRUE(QueryDeviceInfo(record, options));
  EXPECT_EQ(record.sketchVersion, 7);
  EXPECT_EQ(record.modelId, 3);
  EXPECT_EQ(record.idValue, 4);
}

// A stop ends a query hung on an answer that never ends, and one waiting in
// the pause before the DUMP: the query fails and asks nothing more.
TEST_F(QueryTest, StopEndsTheQuery) {
  for (const bool inThePause : {false, true}) {
    SCOPED_TRACE(inThePause ? "in the pause" : "hung VER");
    auto& service = Service(inThePause ? 3 : 2);
    service.SetAnswer(kVer, {inThePause ? VerAnswer(125, 3) : "SKETCH VER : 1", inThePause});
    service.SetAnswer(kDump, {DumpAnswer(1, 1)});
    Start(service);
    StopSignal stop;
    QueryOptions options = Options();
    options.connectTimeoutMs = options.receiveTimeoutMs = options.pauseMs = kLongWaitMs;
    options.stop = &stop;
    DeviceRecord record = Device(inThePause ? 3 : 2);
    bool result = true;
    std::thread query([&] { result = QueryDeviceInfo(record, options); });
    ASSERT_TRUE(service.WaitForConnections(1, 10000));
    stop.Trigger();
    query.join();
    EXPECT_FALSE(result);
    if (inThePause) {
      EXPECT_EQ(service.Requests(), std::vector<std::string>{kVer});
    } else {
      EXPECT_EQ(record.kind, -1);
    }
  }
}

struct RssiCase {
  std::string answer;
  bool ok;
  int32_t rssi;
};

TEST_F(QueryTest, RssiExchange) {
  const RssiCase cases[] = {
      {"RSSI : -62\r\n", true, -62},  {"RSSI : 0\r\n", true, 0},
      {"LEVEL : -62\r\n", true, 111},  // no key: unchanged, still a success
      {"RSSI : -62\n", false, 111},    // no CR
      {"RSSI : -62", false, 111},      // closed before the LF
  };
  int k = 2;
  for (const RssiCase& c : cases) {
    auto& service = Service(k);
    service.SetAnswer(kRssi, {c.answer});
    Start(service);
    int32_t rssi = 111;
    EXPECT_EQ(QueryRssi(Device(k++), rssi, Options()), c.ok) << c.answer;
    EXPECT_EQ(rssi, c.rssi) << c.answer;
    EXPECT_EQ(service.Requests(), std::vector<std::string>{kRssi});
  }
}

TEST_F(QueryTest, RssiStopsAtTheFirstLineFeed) {
  auto& service = Service(2);
  service.SetAnswer(kRssi, {"RSSI : -47\r\nRSSI : -1\r\n", false});
  Start(service);
  QueryOptions options = Options();
  options.receiveTimeoutMs = kLongWaitMs;
  int32_t rssi = 0;
  EXPECT_TRUE(QueryRssi(Device(2), rssi, options));
  EXPECT_EQ(rssi, -47);
}

// Devices that each hold their RSSI query cannot hold the list: the queries
// run side by side, and the one budget ends them all.
TEST_F(QueryTest, RssiQueriesOfAListShareOneBudget) {
  DeviceTable table;
  std::vector<ScriptedInfoService*> hung;
  for (int i = 0; i < 3; ++i) {
    auto& service = Service(2 + i);
    service.SetAnswer(kRssi, {"", false});  // accepts, then says nothing
    Start(service);
    hung.push_back(&service);
    table.records[static_cast<size_t>(i)] = Device(2 + i, 'L');
    table.records[static_cast<size_t>(i)].kind = kKindWiFi;
    table.records[static_cast<size_t>(i)].sketchVersion = 125;
  }
  QueryOptions options = Options();
  options.receiveTimeoutMs = kLongWaitMs;
  options.exchangeDeadlineMs = kLongWaitMs;
  options.rssiBudgetMs = 300;
  auto list = std::async(std::launch::async, [&] { return BuildDeviceList(table, 3, options); });
  ASSERT_EQ(list.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(list.get()[2], "127.0.0.4 / 00-00-00-00-00-00 / WiFi / ver. 1.25");
  for (ScriptedInfoService* service : hung) EXPECT_TRUE(service->WaitForConnections(1, 5000));
}

TEST_F(QueryTest, DeviceListAsksForRssiOnlyWhereTheRuleSays) {
  auto& wifi = Service(2);
  wifi.SetAnswer(kRssi, {"RSSI : -58\r\n"});
  auto& board = Service(3);
  board.SetAnswer(kRssi, {"RSSI : -40\r\n"});
  auto& old = Service(4);
  old.SetAnswer(kRssi, {"RSSI : -30\r\n"});
  Start(wifi);
  Start(board);
  Start(old);
  DeviceTable table;
  table.records[0] = Device(2, 'L');
  table.records[0].kind = kKindWiFi;
  table.records[0].sketchVersion = 125;
  table.records[0].modelId = 0;
  table.records[1] = Device(3);
  table.records[1].kind = kKindBoard;
  table.records[1].sketchVersion = 125;
  table.records[1].modelId = 1;
  table.records[2] = Device(4, 'L');
  table.records[2].kind = kKindWiFi;
  table.records[2].sketchVersion = 122;
  table.records[2].modelId = 0;
  const auto entries = BuildDeviceList(table, 3, Options());
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0], "127.0.0.2 / 00-00-00-00-00-00 / WiFi / ver. 1.25 (-58 dBm)");
  EXPECT_EQ(entries[1], "127.0.0.3 / 00-00-00-00-00-00 / KS-B21 / ver. 1.25");
  EXPECT_EQ(entries[2], "127.0.0.4 / 00-00-00-00-00-00 / WiFi / ver. 1.22");
  EXPECT_EQ(wifi.Requests().size(), 1u);
  EXPECT_TRUE(board.Requests().empty());
  EXPECT_TRUE(old.Requests().empty());
}

}  // namespace
}  // namespace kesto
