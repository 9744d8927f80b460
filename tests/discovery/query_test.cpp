// VER / DUMP / RSSI against a scripted information service: every byte chosen.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "discovery/device_list.h"
#include "discovery/device_query.h"
#include "discovery/query_pool.h"
#include "platform/errors.h"
#include "platform/format.h"
#include "platform/socket.h"
#include "platform/stop_signal.h"
#include "support/test_ports.h"

namespace kesto {
namespace {

using namespace std::string_literals;

const std::string kVer = "VER\n\0"s;
const std::string kDump = "DUMP\n\0"s;
const std::string kRssi = "RSSI\n\0"s;
constexpr int kLongWaitMs = 60000;  // longer than any test may take: only a stop ends it

std::string VerAnswer(int sketch, int text) {
  return Format("SKETCH VER : %d\r\nTEXT VER : %d\r\n", sketch, text);
}
std::string DumpAnswer(int model, int id) {
  return Format("NAME : board\r\nMODEL: %d\r\nID: %d\r\nMODE : RUN\r\n", model, id);
}
Ipv4Address Loopback(int k) {
  return htonl(INADDR_LOOPBACK - 1 + static_cast<uint32_t>(k));
}

struct Answer {
  std::string bytes;
  bool close = true;  // false: stay silent with the connection open until the end
};

// An information service at 127.0.0.k that records each connection's request
// (up to its NUL) and answers it from a script, byte for byte.
class ScriptedService {
 public:
  ScriptedService(int k, uint16_t port, std::map<std::string, Answer> answers)
      : answers_(std::move(answers)) {
    listener_ = Socket::Open(SOCK_STREAM).value();
    if (!listener_.SetOption(SOL_SOCKET, SO_REUSEADDR, 1) ||
        !listener_.Bind(MakeSocketAddress(Loopback(k), port)) || !listener_.Listen(16))
      ADD_FAILURE() << "no service at 127.0.0." << k;
    else
      thread_ = std::thread([this] {
        while (ErrorNumber(listener_.WaitReadable(kLongWaitMs, &stop_)) != errors::kCanceled) {
          if (Result<Socket> connection = listener_.Accept()) Serve(std::move(*connection));
        }
      });
  }
  ~ScriptedService() {
    stop_.Trigger();
    if (thread_.joinable()) thread_.join();
  }

  std::vector<std::string> Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  bool WaitForConnections(size_t n, int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return requests_.size() >= n; });
  }

 private:
  void Serve(Socket connection) {
    std::string request;
    char byte = 1;
    while (request.size() < 64 && byte != '\0' &&
           connection.Receive(&byte, 1, 5000, nullptr).value_or(0) == 1)
      request.push_back(byte);
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(request);
    }
    changed_.notify_all();
    const auto found = answers_.find(request);
    if (found == answers_.end()) return;
    const Answer& answer = found->second;
    static_cast<void>(connection.SendAll(answer.bytes.data(), answer.bytes.size(), 5000, &stop_));
    if (!answer.close) silent_.push_back(std::move(connection));
  }

  std::map<std::string, Answer> answers_;
  Socket listener_;
  StopSignal stop_;
  std::vector<Socket> silent_;  // connections kept open on purpose
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

class QueryTest : public ::testing::Test {
 protected:
  QueryOptions Options() const {
    QueryOptions options;
    options.localAddress = Loopback(1);
    options.port = port_;
    options.pauseMs = 10;
    return options;
  }

  ScriptedService& Service(int k, Answer ver, Answer dump = {}, Answer rssi = {}) {
    services_.push_back(std::make_unique<ScriptedService>(
        k, port_, std::map<std::string, Answer>{{kVer, ver}, {kDump, dump}, {kRssi, rssi}}));
    return *services_.back();
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
  std::vector<std::unique_ptr<ScriptedService>> services_;
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
    ScriptedService& service = Service(k, c.ver, c.dump);
    DeviceRecord record = Device(k++);
    record.sketchVersion = 88;
    QueryOptions options = Options();
    options.receiveTimeoutMs = c.ok ? kLongWaitMs : 300;
    EXPECT_EQ(QueryDeviceInfo(record, options).has_value(), c.ok);
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
      {"RSSI : -47\r\nRSSI : -1\r\n", -47},
      {"RSSI : -62" + std::string(244, ' ') + "\r\n", -62},  // 256 bytes: all read
      {"RSSI : -62" + std::string(245, ' ') + "\r\n", 0}};   // 257: its LF is not read
  int k = 2;
  for (const auto& [answer, value] : cases) {
    ScriptedService& service = Service(k, {}, {}, {answer});
    int32_t rssi = 111;
    EXPECT_EQ(QueryRssi(Device(k++), rssi, Options()).has_value(), value != 0) << answer;
    EXPECT_EQ(rssi, value == 0 ? 111 : value) << answer;
    EXPECT_EQ(service.Requests(), std::vector<std::string>{kRssi});
  }
}

// Every wait ends: a local address not of this host, a connect into a full
// accept queue. (Silence: VerThenDump; drips: the search's drip case.)
TEST_F(QueryTest, EveryWaitIsBounded) {
  QueryOptions options = Options();
  options.localAddress = *ParseIpv4("192.0.2.1");  // documentation range: never ours
  ScriptedService& never = Service(2, {VerAnswer(125, 3)});
  DeviceRecord record = Device(2);
  EXPECT_EQ(QueryDeviceInfo(record, options), Failure(SocketError(errors::kAddressNotAvailable)));
  EXPECT_TRUE(never.Requests().empty());

  Socket listener = Socket::Open(SOCK_STREAM).value();
  ASSERT_TRUE(listener.Bind(MakeSocketAddress(Loopback(11), Options().port)));
  ASSERT_TRUE(listener.Listen(0));
  Socket filler = Socket::Open(SOCK_STREAM).value();
  ASSERT_TRUE(filler.Connect(MakeSocketAddress(Loopback(11), Options().port), 2000, nullptr));
  options.localAddress = Loopback(1);
  options.connectTimeoutMs = 300;
  record = Device(11);
  EXPECT_EQ(QueryDeviceInfo(record, options), Failure(SocketError(errors::kTimedOut)));
}

// A stop ends a query waiting in the pause before the DUMP: it fails and asks
// nothing more. (A stop during a hung query: DiscoveryTest.)
TEST_F(QueryTest, StopEndsTheQueryInThePause) {
  ScriptedService& service = Service(3, {VerAnswer(125, 3)}, {DumpAnswer(1, 1)});
  StopSignal stop;
  QueryOptions options = Options();
  options.pauseMs = kLongWaitMs;
  options.stop = &stop;
  DeviceRecord record = Device(3);
  Result<void> result;
  std::thread query([&] { result = QueryDeviceInfo(record, options); });
  ASSERT_TRUE(service.WaitForConnections(1, 10000));
  stop.Trigger();
  query.join();
  EXPECT_EQ(result, Failure(SocketError(errors::kCanceled)));
  EXPECT_EQ(service.Requests(), std::vector<std::string>{kVer});
}

// The list asks for RSSI only where the rule says; devices that each hold
// their RSSI query cannot hold the list: the queries run side by side, and
// the one budget ends them all.
TEST_F(QueryTest, DeviceListAsksForRssiWhereTheRuleSaysWithinOneBudget) {
  DeviceTable table;
  table.records[0] = Device(2);
  table.records[1] = Device(3, kKindBoard);
  table.records[1].modelId = 1;
  table.records[2] = Device(4, kKindWiFi, 122);
  std::vector<ScriptedService*> services;
  for (int k = 2; k <= 4; ++k) services.push_back(&Service(k, {}, {}, {"RSSI : -58\r\n"}));
  EXPECT_EQ(BuildDeviceList(table, 3, Options()),
            (std::vector<std::string>{"127.0.0.2 / 00-00-00-00-00-00 / WiFi / ver. 1.25 (-58 dBm)",
                                      "127.0.0.3 / 00-00-00-00-00-00 / KS-B21 / ver. 1.25",
                                      "127.0.0.4 / 00-00-00-00-00-00 / WiFi / ver. 1.22"}));
  EXPECT_EQ(services[0]->Requests().size(), 1u);
  EXPECT_TRUE(services[1]->Requests().empty() && services[2]->Requests().empty());

  std::vector<ScriptedService*> hung;
  for (int i = 0; i < 3; ++i) {
    hung.push_back(&Service(5 + i, {}, {}, {"", false}));  // accepts, then says nothing
    table.records[static_cast<size_t>(i)] = Device(5 + i);
  }
  QueryOptions options = Options();
  options.receiveTimeoutMs = options.exchangeDeadlineMs = kLongWaitMs;
  options.rssiBudgetMs = 300;
  auto list = std::async(std::launch::async, [&] { return BuildDeviceList(table, 3, options); });
  ASSERT_EQ(list.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(list.get()[2], "127.0.0.7 / 00-00-00-00-00-00 / WiFi / ver. 1.25");
  for (ScriptedService* service : hung) EXPECT_TRUE(service->WaitForConnections(1, 5000));
}

// The pause between VER and DUMP lasts its length (a bound from below only), with or without
// a stop to watch; without a pause, a stop that has not fired lets the DUMP follow at once.
TEST_F(QueryTest, PauseBetweenVerAndDumpLastsItsLength) {
  StopSignal stop;
  const std::pair<const StopSignal*, int> cases[] = {{nullptr, 300}, {&stop, 300}, {&stop, 0}};
  int k = 4;
  for (const auto& [watched, pauseMs] : cases) {
    Service(k, {VerAnswer(125, 3)}, {DumpAnswer(1, 1)});
    DeviceRecord record = Device(k++);
    QueryOptions options = Options();
    options.pauseMs = pauseMs;
    options.stop = watched;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(QueryDeviceInfo(record, options)) << pauseMs;
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(pauseMs));
  }
}

// Jobs of one key (one device) run one after the other in the order given, each as soon as
// the one before has ended; a job of another key does not queue behind them.
TEST(QueryPool, OneKeyInTurnOtherKeysAlongside) {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> events;
  const auto note = [&](const char* event) {
    std::lock_guard lock(mutex);
    events.emplace_back(event);
    changed.notify_all();
  };
  const auto waitFor = [&](const char* event) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(10), [&] {
      return std::find(events.begin(), events.end(), event) != events.end();
    });
  };
  QueryPool pool(4);
  pool.Submit("a", [&] {
    EXPECT_TRUE(waitFor("b"));  // b must not wait for this job to end
    note("a1");
  });
  pool.Submit("a", [&] { note("a2"); });
  pool.Submit("b", [&] { note("b"); });
  ASSERT_TRUE(waitFor("a2"));  // before the pool's end calls for it
  std::lock_guard lock(mutex);
  EXPECT_EQ(events, (std::vector<std::string>{"b", "a1", "a2"}));
}

// Where no thread can be had, each job runs at its submit, on the caller's
// thread, in order.
TEST(QueryPool, WithoutThreadsEachJobRunsAtItsSubmit) {
  QueryPool pool(0);
  const std::thread::id caller = std::this_thread::get_id();
  std::vector<int> ran;
  for (int i = 0; i < 3; ++i) {
    pool.Submit("a", [&, i] {
      EXPECT_EQ(std::this_thread::get_id(), caller);
      ran.push_back(i);
    });
    EXPECT_EQ(ran.size(), static_cast<size_t>(i + 1));
  }
}

}  // namespace
}  // namespace kesto
