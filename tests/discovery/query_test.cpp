// The VER / DUMP / RSSI exchanges against a scripted information service on
// loopback, where every byte the device sends is chosen by the test.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <memory>
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
using Answer = ScriptedInfoService::Answer;

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

  // A started service at 127.0.0.k with these answers.
  ScriptedInfoService& Service(int k, Answer ver, Answer dump = {}, Answer rssi = {}) {
    services_.push_back(std::make_unique<ScriptedInfoService>(Format("127.0.0.%d", k), port_));
    ScriptedInfoService& service = *services_.back();
    service.SetAnswer(kVer, std::move(ver));
    service.SetAnswer(kDump, std::move(dump));
    service.SetAnswer(kRssi, std::move(rssi));
    EXPECT_EQ(service.Start(), 0);
    return service;
  }

  static DeviceRecord Device(int k, int32_t kind = kKindWiFi, int32_t sketch = 125) {
    DeviceRecord record;
    record.addressText = Format("127.0.0.%d", k);
    record.kindLetter = 'L';
    record.kind = kind;
    record.sketchVersion = sketch;
    return record;
  }

 private:
  uint16_t port_ = kesto::testing::NextTestPorts().query;
  std::vector<std::unique_ptr<ScriptedInfoService>> services_;
};

// VER and DUMP each on their own connection, each with its NUL; a failed VER
// asks nothing more and leaves -1 and the slot's versions; each read ends
// where the protocol says, though the device stays connected.
TEST_F(QueryTest, VerThenDump) {
  struct Case {
    Answer ver, dump;
    bool ok;
    int32_t sketch, kind, model, id;
  };
  std::string longDump = "ID: 2\r\n";  // MODEL at byte 4093: only "MOD" of it is taken
  longDump += std::string(4093 - longDump.size(), 'x') + "MODEL: 3\r\n";
  const Case cases[] = {
      {{VerAnswer(131, 4)}, {DumpAnswer(17, 2)}, true, 131, kKindWiFi, 17, 2},
      {{"SKETCH VER : 125\nTEXT VER : 3\n"}, {DumpAnswer(1, 1)}, false, 88, -1, -1, -1},
      {{"SKETCH VER : 125\r\n"}, {DumpAnswer(1, 1)}, false, 88, -1, -1, -1},
      {{""}, {DumpAnswer(1, 1)}, false, 88, -1, -1, -1},
      {{"SKETCH VER : 1\r\n" + std::string(300, 'x') + "\r\n", false}, {}, false, 88, -1, -1, -1},
      {{VerAnswer(125, 3) + "SKETCH VER : 9\r\n", false}, {DumpAnswer(5, 1)}, true, 125, 3, 5, 1},
      {{"VERSION\r\nUNKNOWN\r\n"}, {longDump, false}, true, 88, kKindWiFi, 0, 0},
      {{VerAnswer(125, 3)}, {"MODEL: 1\r\n", false}, false, 125, kKindWiFi, -1, -1},  // silence
  };
  int k = 2;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ver.bytes);
    ScriptedInfoService& service = Service(k, c.ver, c.dump);
    DeviceRecord record = Device(k++);
    record.sketchVersion = 88;
    QueryOptions options = Options();
    options.receiveTimeoutMs = c.ok ? kLongWaitMs : 300;
    EXPECT_EQ(QueryDeviceInfo(record, options), c.ok);
    std::vector<std::string> asked{kVer, kDump};
    if (c.kind == -1) asked.pop_back();  // no DUMP after a failed VER
    EXPECT_EQ(service.Requests(), asked);
    EXPECT_EQ(record.sketchVersion, c.sketch);
    EXPECT_EQ(record.kind, c.kind);
    EXPECT_EQ(record.modelId, c.model);
    EXPECT_EQ(record.idValue, c.id);
  }
}

TEST_F(QueryTest, Rssi) {
  const std::pair<std::string, int32_t> cases[] = {
      {"RSSI : -62\r\n", -62},
      {"LEVEL : -62\r\n", 111},  // no key: unchanged, a success
      {"RSSI : -62\n", 0},
      {"RSSI : -62", 0},  // no CR; closed before the LF
      {"RSSI : -47\r\nRSSI : -1\r\n", -47}};
  int k = 2;
  for (const auto& [answer, value] : cases) {
    ScriptedInfoService& service = Service(k, {}, {}, {answer});
    int32_t rssi = 111;
    EXPECT_EQ(QueryRssi(Device(k++), rssi, Options()), value != 0) << answer;
    EXPECT_EQ(rssi, value == 0 ? 111 : value) << answer;
    EXPECT_EQ(service.Requests(), std::vector<std::string>{kRssi});
  }
  int32_t rssi = 0;
  EXPECT_FALSE(QueryRssi(Device(40), rssi, Options())) << "refused connection";
}

// Every wait ends: a local address not of this host, a connect into a full
// accept queue, silence, replies dripped within the receive time-out (only
// the exchange's deadline ends those).
TEST_F(QueryTest, EveryWaitIsBounded) {
  QueryOptions options = Options();
  options.localAddress = *ParseIpv4("192.0.2.1");  // documentation range: never ours
  ScriptedInfoService& never = Service(2, {VerAnswer(125, 3)});
  DeviceRecord record = Device(2);
  EXPECT_FALSE(QueryDeviceInfo(record, options));
  EXPECT_TRUE(never.Requests().empty());

  int error = 0;
  Socket listener = Socket::Open(SOCK_STREAM, error);
  ASSERT_EQ(listener.Bind(MakeSocketAddress(Loopback(11), Options().port)), 0);
  ASSERT_EQ(listener.Listen(0), 0);
  Socket filler = Socket::Open(SOCK_STREAM, error);
  ASSERT_EQ(filler.Connect(MakeSocketAddress(Loopback(11), Options().port), 2000, nullptr), 0);
  options = Options();
  options.connectTimeoutMs = 300;
  options.receiveTimeoutMs = kLongWaitMs;
  record = Device(11);
  EXPECT_FALSE(QueryDeviceInfo(record, options));

  Service(3, {"", false}, {}, {"RSSI : -5", false});
  options = Options();
  options.receiveTimeoutMs = 300;
  record = Device(3);
  int32_t rssi = 0;
  EXPECT_FALSE(QueryDeviceInfo(record, options) || QueryRssi(record, rssi, options));

  options.receiveTimeoutMs = kLongWaitMs;
  options.exchangeDeadlineMs = 300;  // the replies below take over a second to drip
  Service(4, {VerAnswer(125, 3), true, 40});
  Service(5, {VerAnswer(125, 3)}, {DumpAnswer(3, 1), true, 40},
          {"RSSI : -62, dripped\r\n", true, 40});
  for (const int k : {4, 5}) {
    record = Device(k);
    EXPECT_FALSE(QueryDeviceInfo(record, options)) << k;
    EXPECT_EQ(record.modelId, -1);
  }
  EXPECT_FALSE(QueryRssi(Device(5), rssi, options));
  EXPECT_EQ(rssi, 0);
}

// A stop ends a query hung on an answer that never ends, and one waiting in
// the pause before the DUMP: the query fails and asks nothing more.
TEST_F(QueryTest, StopEndsTheQuery) {
  for (const bool inThePause : {false, true}) {
    ScriptedInfoService& service =
        Service(inThePause ? 3 : 2, {inThePause ? VerAnswer(125, 3) : "SKETCH VER : 1", inThePause},
                {DumpAnswer(1, 1)});
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
    EXPECT_EQ(service.Requests(), std::vector<std::string>{kVer});
  }
}

// The list asks for RSSI only where the rule says, and devices that each hold
// their query to its deadline share one budget: once it is spent the
// remaining entries go without a query.
TEST_F(QueryTest, DeviceListAsksForRssiWhereTheRuleSaysWithinOneBudget) {
  DeviceTable table;
  table.records[0] = Device(2);
  table.records[1] = Device(3, kKindBoard);
  table.records[1].modelId = 1;
  table.records[2] = Device(4, kKindWiFi, 122);
  std::vector<ScriptedInfoService*> services;
  for (int k = 2; k <= 4; ++k) services.push_back(&Service(k, {}, {}, {"RSSI : -58\r\n"}));
  EXPECT_EQ(BuildDeviceList(table, 3, Options()),
            (std::vector<std::string>{"127.0.0.2 / 00-00-00-00-00-00 / WiFi / ver. 1.25 (-58 dBm)",
                                      "127.0.0.3 / 00-00-00-00-00-00 / KS-B21 / ver. 1.25",
                                      "127.0.0.4 / 00-00-00-00-00-00 / WiFi / ver. 1.22"}));
  EXPECT_EQ(services[0]->Requests().size(), 1u);
  EXPECT_TRUE(services[1]->Requests().empty() && services[2]->Requests().empty());

  std::vector<ScriptedInfoService*> hung;
  for (int i = 0; i < 3; ++i) {
    hung.push_back(&Service(5 + i, {}, {}, {"", false}));  // accepts, then says nothing
    table.records[static_cast<size_t>(i)] = Device(5 + i);
  }
  QueryOptions options = Options();
  options.receiveTimeoutMs = kLongWaitMs;
  options.exchangeDeadlineMs = 300;
  options.rssiBudgetMs = 450;  // the first query's deadline, then what is left for the second
  EXPECT_EQ(BuildDeviceList(table, 3, options)[2],
            "127.0.0.7 / 00-00-00-00-00-00 / WiFi / ver. 1.25");
  EXPECT_TRUE(hung[0]->WaitForConnections(1, 5000) && hung[1]->WaitForConnections(1, 5000));
  EXPECT_TRUE(hung[2]->Requests().empty()) << "no query once the budget is spent";
}

}  // namespace
}  // namespace kesto
