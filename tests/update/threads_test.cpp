// Work handed between threads as the window and the command line do it: the
// write's outcome through WriteHandover, and stops triggered from another
// thread while a search or a write runs. Built and run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "discovery/device_list.h"
#include "discovery/discovery.h"
#include "platform/errors.h"
#include "platform/stop_signal.h"
#include "run_support.h"
#include "sim/simulator.h"
#include "support/test_ports.h"
#include "test_files.h"
#include "update/result.h"
#include "update/update_run.h"

namespace kesto {
namespace {

using namespace kesto::testing;

using testing::PatternBytes;
using testing::TempDir;
using testing::TestLimits;

constexpr int kLongWaitMs = 60000;  // longer than any test may take: only a stop ends it
constexpr int kPollMs = 1;          // the reader's poll, as the window's timer does it

class StopFromAnotherThread : public ::testing::Test {
 protected:
  void StartSimulator(std::vector<sim::DeviceConfig> devices) {
    sim_ = std::make_unique<sim::Simulator>(std::move(devices), ports_);
    ASSERT_EQ(sim_->Start(), 0);
  }

  const sim::Ports ports_ = kesto::testing::NextTestPorts();
  std::unique_ptr<sim::Simulator> sim_;
};

sim::DeviceConfig Device(const char* address, uint8_t macLast, int replyDelayMs) {
  sim::DeviceConfig device;
  device.address = address;
  device.hardwareAddress = {0x02, 0, 0, 0, 0, macLast};
  device.faults.replyDelayMs = replyDelayMs;
  return device;
}

// The search worker's run: discovery then the list, ended by a stop while a
// hung device holds its query.
TEST_F(StopFromAnotherThread, EndsASearchHeldByAHungDevice) {
  sim::DeviceConfig hung = Device("127.0.0.3", 3, 100);
  hung.faults.infoHang = true;
  StartSimulator({Device("127.0.0.2", 2, 0), hung});
  StopSignal stop;
  DiscoveryOptions options;
  options.localAddress = htonl(INADDR_LOOPBACK);
  options.discoveryPort = ports_.discovery;
  options.quietMs = kLongWaitMs;
  options.query.port = ports_.query;
  options.query.pauseMs = 10;
  options.query.connectTimeoutMs = kLongWaitMs;
  options.query.receiveTimeoutMs = kLongWaitMs;
  options.query.exchangeDeadlineMs = kLongWaitMs;
  options.query.stop = &stop;

  DeviceTable table;
  int count = -2;
  std::vector<std::string> entries;
  std::atomic<bool> finished{false};
  std::thread worker([&] {
    count = DiscoverDevices(table, options);
    if (count > 0) entries = BuildDeviceList(table, count, options.query);
    finished = true;
  });
  // Most likely inside the hung query by now; a stop anywhere ends the run.
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  stop.Trigger();
  worker.join();
  EXPECT_TRUE(finished);
  ASSERT_GE(count, 0);
  EXPECT_LE(count, 1);
  EXPECT_EQ(entries.size(), static_cast<size_t>(count));
  if (count == 1) {
    EXPECT_EQ(table.records[0].addressText, "127.0.0.2");
  }
}

class WriteAcrossThreads : public StopFromAnotherThread {
 protected:
  void SetUp() override {
    request_.deviceAddress = "127.0.0.3";
    request_.localAddress = "127.0.0.1";
    request_.devicePort = ports_.update;
  }
  void UseImage(size_t size) {
    image_ = PatternBytes(size, 11);
    request_.firmwarePath = dir_.Write("KS_N_threads.bin", image_);
  }

  TempDir dir_;
  UpdateRequest request_;
  std::string image_;
};

TEST_F(WriteAcrossThreads, StopInTheMiddleOfTheTransferEndsTheWrite) {
  sim::DeviceConfig device = Device("127.0.0.3", 3, 0);
  device.faults.stallAfterBytes = 2048;  // then neither reads nor answers
  StartSimulator({device});
  UseImage(8000);
  StopSignal stop;
  std::atomic<int> lastProgress{0};
  UpdateHooks hooks;
  hooks.progress = [&](int percent) { lastProgress = percent; };
  hooks.stop = &stop;
  UpdateLimits limits = TestLimits();
  limits.stallMs = kLongWaitMs;
  std::atomic<bool> done{false};
  WriteOutcome outcome;
  std::thread worker([&] {
    outcome = RunUpdate(request_, hooks, limits);
    done = true;
  });
  // Bounded: the worker's own limits end the write should the transfer never start.
  for (int i = 0; i < 10000 && lastProgress == 0 && !done; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  stop.Trigger();
  worker.join();
  EXPECT_EQ(outcome.result, WriteResult::kCancelled);
  EXPECT_GT(lastProgress, 0);
}

}  // namespace
}  // namespace kesto
