// Searches under floods of discovery replies: more devices than the table
// holds, and replies that never stop coming.

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "discovery/device_list.h"
#include "discovery/discovery.h"
#include "platform/stop_signal.h"
#include "sim/simulator.h"
#include "soak_support.h"
#include "support/test_ports.h"

namespace kesto {
namespace {

using std::chrono::milliseconds;
using testing::Watchdog;

// Longest a search may take while replies keep coming: a LAN never has more
// than the table holds, and a flood must not hold the operator for longer.
constexpr milliseconds kFloodBound{30000};

template <typename Options>
void SetExchangeLimit(Options& options, int ms) {
  if constexpr (requires { options.exchangeDeadlineMs; }) options.exchangeDeadlineMs = ms;
}

class Flood : public ::testing::Test {
 protected:
  DiscoveryOptions Start(std::vector<sim::DeviceConfig> devices, const StopSignal& stop) {
    simulator_ = std::make_unique<sim::Simulator>(std::move(devices), ports_);
    EXPECT_EQ(simulator_->Start(), 0);
    DiscoveryOptions options;
    options.localAddress = htonl(INADDR_LOOPBACK);
    options.discoveryPort = ports_.discovery;
    options.quietMs = 300;
    options.query.port = ports_.query;
    options.query.connectTimeoutMs = 500;
    options.query.receiveTimeoutMs = 800;
    options.query.pauseMs = 0;
    options.query.stop = &stop;
    SetExchangeLimit(options.query, 1500);
    return options;
  }

  static sim::DeviceConfig Flooder(int replies, bool phantoms) {
    sim::DeviceConfig device;
    device.address = "127.0.0.3";
    device.kindLetter = 'L';
    device.sketchVersion = 125;  // model 0 and 1.25: every entry asks for RSSI too
    device.faults.floodReplies = replies;
    device.faults.floodIntervalMs = 1;
    device.faults.floodFromPhantoms = phantoms;
    return device;
  }

  const sim::Ports ports_ = kesto::testing::NextTestPorts();
  std::unique_ptr<sim::Simulator> simulator_;
};

// Replies one a millisecond: 301 from a device that answers every query (the
// table takes 256 and not one more), endless ones from ever new addresses with
// nothing behind them, and endless ones of a real device (once the table is
// full nothing more can be recorded). Each search ends on its own all the same,
// and every entry of the list is the flooder.
TEST_F(Flood, SearchesEndOnTheirOwnWithAtMostAFullTable) {
  const struct {
    int replies;
    bool phantoms;
  } cases[] = {{300, false}, {100000, true}, {100000, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.replies << (c.phantoms ? " from phantoms" : ""));
    simulator_.reset();  // its ports are the next one's
    StopSignal stop;
    const DiscoveryOptions options = Start({Flooder(c.replies, c.phantoms)}, stop);
    DeviceTable table;
    Watchdog watchdog(stop, kFloodBound);
    const int count = DiscoverDevices(table, options);
    EXPECT_FALSE(watchdog.Done()) << "the flood held the search past " << kFloodBound.count()
                                  << " ms";
    if (c.phantoms) {
      EXPECT_LE(count, 1);  // at most the flooder's own reply, from its own address
    } else {
      EXPECT_EQ(count, kDeviceTableSize);
    }
    EXPECT_EQ(table.count, count);
    if (c.replies > kDeviceTableSize * 2)
      continue;  // one list is enough; the endless floods would only add time
    const std::vector<std::string> entries = BuildDeviceList(table, count, options.query);
    ASSERT_EQ(entries.size(), static_cast<size_t>(count));
    EXPECT_EQ(std::set<std::string>(entries.begin(), entries.end()).size(), 1u) << entries[0];
  }
}

}  // namespace
}  // namespace kesto
