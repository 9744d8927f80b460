// One hostile device at a time, each fault on its own, with the outcome the
// operator is owed. These are the soak's findings pinned down: each runs in
// seconds and says exactly what went wrong.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "discovery/device_query.h"
#include "discovery/discovery.h"
#include "platform/errors.h"
#include "platform/socket.h"
#include "platform/stop_signal.h"
#include "sim/simulator.h"
#include "soak_support.h"
#include "support/test_ports.h"
#include "update/result.h"
#include "update/update_run.h"

namespace kesto {
namespace {

using std::chrono::milliseconds;
using testing::RunOutcome;
using testing::Watchdog;
using namespace kesto::testing;
using namespace testing;

constexpr int kConnectMs = 500;
constexpr int kReceiveMs = 800;
constexpr int kExchangeMs = 1500;
constexpr int kSlackMs = 3000;

template <typename Options>
void SetExchangeLimit(Options& options, int ms) {
  if constexpr (requires { options.exchangeDeadlineMs; }) options.exchangeDeadlineMs = ms;
}

UpdateLimits ShortLimits() {
  UpdateLimits limits;
  limits.answerWaitMs = 300;
  limits.attempts = 2;
  limits.connectWaitMs = 1000;
  limits.stallMs = 1000;
  return limits;
}

milliseconds WriteBound(const UpdateLimits& limits, size_t size) {
  const long chunks = static_cast<long>((size + kChunkSize - 1) / kChunkSize);
  return milliseconds(long{limits.attempts + 1} * limits.answerWaitMs + limits.connectWaitMs +
                      chunks * 2 * limits.stallMs + 2 * limits.stallMs + kSlackMs);
}

class OneHostileDevice : public ::testing::Test {
 protected:
  void Start(sim::DeviceFaults faults, std::string password = {}) {
    sim::DeviceConfig device;
    device.address = "127.0.0.3";
    device.kindLetter = 'B';
    device.password = std::move(password);
    device.faults = faults;
    simulator_ = std::make_unique<sim::Simulator>(std::vector<sim::DeviceConfig>{device}, ports_);
    ASSERT_EQ(simulator_->Start(), 0);
  }

  // A write of size bytes, ended by a watchdog should it outrun its bound.
  RunOutcome Write(size_t size, bool* overran = nullptr) {
    image_ = testing::ImageBytes(size, 77);
    UpdateRequest request;
    request.deviceAddress = "127.0.0.3";
    request.localAddress = "127.0.0.1";
    request.devicePort = ports_.update;
    request.firmwarePath = files_.Write("KS_N_hostile.bin", image_);
    const UpdateLimits limits = ShortLimits();
    StopSignal stop;
    Watchdog watchdog(stop, WriteBound(limits, size));
    RunOutcome outcome = testing::Write(request, limits, &stop);
    const bool expired = watchdog.Done();
    if (overran) *overran = expired;
    EXPECT_FALSE(expired) << "the write ran past its bound; log: " << outcome.Log();
    return outcome;
  }

  // The device holds exactly the image, complete and accepted.
  bool DeviceHoldsImage() {
    simulator_->WaitForSessions(0, 1, 2000);
    const std::vector<uint8_t> bytes(image_.begin(), image_.end());
    for (const sim::UpdateSession& session : simulator_->Sessions(0))
      if (session.complete && session.accepted && session.image == bytes) return true;
    return false;
  }

  QueryOptions Query(const StopSignal& stop) const {
    QueryOptions options;
    options.localAddress = htonl(INADDR_LOOPBACK);
    options.port = ports_.query;
    options.connectTimeoutMs = kConnectMs;
    options.receiveTimeoutMs = kReceiveMs;
    options.pauseMs = 10;
    options.stop = &stop;
    SetExchangeLimit(options, kExchangeMs);
    return options;
  }

  const sim::Ports ports_ = kesto::testing::NextTestPorts();
  std::unique_ptr<sim::Simulator> simulator_;
  testing::ScratchDir files_;
  std::string image_;
};

// ---- Information service

// One byte every 700 ms passes every per-byte limit (800 ms); only a bound on
// the whole exchange ends it. The VER and DUMP texts drip for about two minutes.
TEST_F(OneHostileDevice, DrippingInformationEndsWithinTheExchangeBound) {
  sim::DeviceFaults faults;
  faults.dripMs = 700;
  Start(faults);
  StopSignal stop;
  DeviceRecord record;
  record.addressText = "127.0.0.3";
  record.kindLetter = 'B';
  Watchdog watchdog(stop, milliseconds(2 * (kConnectMs + kExchangeMs) + 10 + kSlackMs));
  QueryDeviceInfo(record, Query(stop));
  EXPECT_FALSE(watchdog.Done()) << "a dripping VER/DUMP reply held the query past its bound";

  StopSignal rssiStop;
  int32_t rssi = 0;
  Watchdog rssiWatchdog(rssiStop, milliseconds(kConnectMs + kExchangeMs + kSlackMs));
  QueryRssi(record, rssi, Query(rssiStop));
  EXPECT_FALSE(rssiWatchdog.Done()) << "a dripping RSSI reply held the query past its bound";
}

TEST_F(OneHostileDevice, ResetInformationRepliesAndHungServicesFailTheQueryOnly) {
  for (int variant = 0; variant < 3; ++variant) {
    sim::DeviceFaults faults;
    faults.seed = static_cast<uint32_t>(variant);
    faults.infoReset = variant == 0;
    faults.infoHang = variant == 1;
    faults.randomInfoReply = variant == 2;
    Start(faults);
    StopSignal stop;
    DeviceRecord record;
    record.addressText = "127.0.0.3";
    record.kindLetter = 'B';
    Watchdog watchdog(stop, milliseconds(2 * (kConnectMs + kExchangeMs) + 10 + kSlackMs));
    QueryDeviceInfo(record, Query(stop));
    EXPECT_FALSE(watchdog.Done()) << "variant " << variant;
    simulator_.reset();
  }
}

// ---- Update receiver

TEST_F(OneHostileDevice, DrippingFinalAnswerEndsWithinTheWriteBound) {
  sim::DeviceFaults faults;
  faults.finalError = true;  // "MD5 Check Failed\r\n", a byte every 900 ms
  faults.dripMs = 900;
  Start(faults);
  const RunOutcome outcome = Write(1024);
  EXPECT_NE(outcome.code, kResultSuccess) << outcome.Log();
}

TEST_F(OneHostileDevice, ResetMidTransferIsAFailure) {
  sim::DeviceFaults faults;
  faults.resetShortBytes = 1500;
  Start(faults);
  const RunOutcome outcome = Write(5000);
  EXPECT_NE(outcome.code, kResultSuccess) << outcome.Log();
  EXPECT_TRUE(outcome.code == errors::kConnectionReset || outcome.code == errors::kBrokenPipe)
      << outcome.code;
  EXPECT_FALSE(DeviceHoldsImage());
}

// The device acknowledges chunk after chunk and then closes, in order and
// without a word, before it has read the last chunk. Its close reaches the
// writer before the last chunk is sent, so the acknowledgement receive of the
// last chunk returns 0 bytes; that must not pass for the device's consent.
TEST_F(OneHostileDevice, CloseBeforeTheLastChunkIsAFailure) {
  sim::DeviceFaults faults;
  faults.closeShortBytes = 952;  // 3000 = 1024 + 1024 + 952
  Start(faults);
  const RunOutcome outcome = Write(3000);
  EXPECT_NE(outcome.code, kResultSuccess) << outcome.Log();
  EXPECT_FALSE(DeviceHoldsImage());
}

TEST_F(OneHostileDevice, CloseMidTransferIsAFailure) {
  sim::DeviceFaults faults;
  faults.closeShortBytes = 3000;  // 5000 bytes: closes after two chunks
  Start(faults);
  const RunOutcome outcome = Write(5000);
  EXPECT_NE(outcome.code, kResultSuccess) << outcome.Log();
}

// A stranger answers the invitation "OK" in the device's name and connects;
// the device itself says nothing. The image must not leave for the stranger.
TEST_F(OneHostileDevice, StrangerAnsweringForTheDeviceGetsNothing) {
  sim::DeviceFaults faults;
  faults.answerFromStranger = true;
  Start(faults);
  const RunOutcome outcome = Write(3000);
  EXPECT_NE(outcome.code, kResultSuccess) << outcome.Log();
  EXPECT_EQ(simulator_->StrangerConnections(), 0);
}

TEST_F(OneHostileDevice, StrangerConnectingFirstGetsNothing) {
  sim::DeviceFaults faults;
  faults.strangerFirst = true;
  Start(faults);
  const RunOutcome outcome = Write(3000);
  EXPECT_EQ(outcome.code, kResultSuccess) << outcome.Log();
  EXPECT_TRUE(DeviceHoldsImage());
  EXPECT_EQ(simulator_->StrangerConnections(), 0);
}

// Odd but honest devices: the writer must still deliver the image.
TEST_F(OneHostileDevice, AnswerFromAnotherPortOfTheDeviceIsFollowed) {
  sim::DeviceFaults faults;
  faults.answerFromOtherPort = true;
  Start(faults, "PELICANUS");
  const RunOutcome outcome = Write(3000);
  EXPECT_EQ(outcome.code, kResultSuccess) << outcome.Log();
  EXPECT_TRUE(DeviceHoldsImage());
}

TEST_F(OneHostileDevice, GluedAndSplitAcknowledgementsStillDeliver) {
  struct Case {
    const char* name;
    size_t ackPieceSize;
    bool splitAcks;
    bool finalGluedToAck;
    size_t size;
  };
  for (const Case& c :
       {Case{"pieces of 512", 512, false, false, 8199}, Case{"split", 0, true, false, 3000},
        Case{"final glued", 0, false, true, 3000},
        Case{"final glued to a 1-byte chunk", 0, false, true, 1025},
        Case{"pieces of 700, final glued", 700, false, true, 5000},
        // many digits behind the last chunk must not count against the
        // words read for the final "OK"
        Case{"pieces of 100", 100, false, false, 3000}}) {
    sim::DeviceFaults faults;
    faults.ackPieceSize = c.ackPieceSize;
    faults.splitAcks = c.splitAcks;
    faults.finalGluedToAck = c.finalGluedToAck;
    Start(faults);
    const RunOutcome outcome = Write(c.size);
    EXPECT_EQ(outcome.code, kResultSuccess) << c.name << "\n" << outcome.Log();
    EXPECT_TRUE(DeviceHoldsImage()) << c.name;
    simulator_.reset();
  }
}

// Whatever a device says at the end, the log shows a short line of it: words
// that run on for kilobytes must not become a log line of kilobytes.
TEST_F(OneHostileDevice, LongFinalWordsGiveAShortLogLine) {
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    sim::DeviceFaults faults;
    faults.seed = seed;
    faults.randomFinal = true;
    Start(faults);
    const RunOutcome outcome = Write(3000);
    for (const std::string& piece : outcome.pieces) {
      EXPECT_LE(piece.size(), 512u) << "seed " << seed << ": " << piece.substr(0, 80) << "...";
      EXPECT_EQ(piece.find('\0'), std::string::npos) << "seed " << seed;
    }
    simulator_.reset();
  }
}

// Random words in every place of the update protocol, seed after seed: any
// outcome but a false success, and every write within its bound.
TEST_F(OneHostileDevice, RandomWordsNeverMakeAFalseSuccess) {
  int successes = 0;
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    sim::DeviceFaults faults;
    faults.seed = seed;
    faults.randomAnswer = seed % 3 == 0;
    faults.randomAuthReply = seed % 3 == 1;
    faults.randomAcks = seed % 2 == 0;
    faults.randomFinal = true;
    Start(faults, seed % 3 == 1 ? "PELICANUS" : "");
    bool overran = false;
    const RunOutcome outcome = Write(seed * 700, &overran);
    if (outcome.code == kResultSuccess) {
      ++successes;
      EXPECT_TRUE(DeviceHoldsImage()) << "seed " << seed << "\n" << outcome.Log();
    }
    EXPECT_EQ(simulator_->StrangerConnections(), 0);
    simulator_.reset();
    if (overran) break;
  }
  RecordProperty("successes", successes);
}

}  // namespace
}  // namespace kesto
