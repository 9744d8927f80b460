// The update run against the simulated device on loopback: every way a write
// can end, as the operator's log and the result code show it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/format.h"
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

using testing::Outcome;
using testing::PatternBytes;
using testing::RunWrite;
using testing::TempDir;
using testing::TestLimits;

constexpr int kSessionWaitMs = 5000;

std::vector<uint8_t> Bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<std::string> SentMessages(const Outcome& outcome) {
  std::vector<std::string> sent;
  for (const std::string& piece : outcome.pieces)
    if (piece.starts_with("sendto message: ")) sent.push_back(piece);
  return sent;
}

class UpdateAgainstSimulator : public ::testing::Test {
 protected:
  // Starts one simulated device at 127.0.0.k and aims the request at it.
  void StartDevice(sim::DeviceFaults faults = {}, std::string password = {},
                   const char* address = "127.0.0.3") {
    sim::DeviceConfig config;
    config.address = address;
    config.password = std::move(password);
    config.faults = faults;
    sim_ = std::make_unique<sim::Simulator>(std::vector<sim::DeviceConfig>{config}, ports_);
    ASSERT_EQ(sim_->Start(), 0);
    request_.deviceAddress = address;
    request_.localAddress = "127.0.0.1";
    request_.devicePort = ports_.update;
  }

  void UseImage(size_t size) {
    image_ = PatternBytes(size, static_cast<uint32_t>(size));
    request_.firmwarePath = dir_.Write("KS_N_test.bin", image_);
  }

  Outcome Run(const UpdateLimits& limits = TestLimits(), const StopSignal* stop = nullptr,
              const std::function<void(std::string_view)>& onLog = {}) {
    return RunWrite(request_, limits, stop, onLog);
  }

  // The session the device recorded; its image is what went over the wire.
  sim::UpdateSession OnlySession() {
    EXPECT_TRUE(sim_->WaitForSessions(0, 1, kSessionWaitMs));
    const auto sessions = sim_->Sessions(0);
    EXPECT_EQ(sessions.size(), 1u);
    return sessions.empty() ? sim::UpdateSession{} : sessions.front();
  }

  const sim::Ports ports_ = kesto::testing::NextTestPorts();
  std::unique_ptr<sim::Simulator> sim_;
  TempDir dir_;
  UpdateRequest request_;
  std::string image_;
};

TEST_F(UpdateAgainstSimulator, WritesWithoutAuthentication) {
  StartDevice();
  UseImage(3000);
  const Outcome outcome = Run();
  ASSERT_EQ(outcome.code, kResultSuccess) << outcome.Log();
  const sim::UpdateSession session = OnlySession();
  EXPECT_EQ(session.image, Bytes(image_));
  EXPECT_TRUE(session.complete);
  EXPECT_TRUE(session.md5Matched);
  EXPECT_TRUE(session.authMessages.empty());
  EXPECT_EQ(sim_->Invitations(0), 1);
  EXPECT_EQ(SentMessages(outcome).size(), 1u);  // the invitation only
  EXPECT_EQ(outcome.pieces.back(), "全終了。\r\n");
}

TEST_F(UpdateAgainstSimulator, WritesWithAuthentication) {
  StartDevice({}, "PELICANUS");
  UseImage(5000);
  const Outcome outcome = Run();
  ASSERT_EQ(outcome.code, kResultSuccess) << outcome.Log();
  const sim::UpdateSession session = OnlySession();
  EXPECT_EQ(session.image, Bytes(image_));
  EXPECT_TRUE(session.md5Matched);
  ASSERT_EQ(session.authMessages.size(), 1u);
  EXPECT_EQ(session.authMessages[0].size(), 70u);
  EXPECT_TRUE(session.authMessages[0].starts_with("200 "));
  EXPECT_TRUE(outcome.Logged("OK\r\n"));
}

TEST_F(UpdateAgainstSimulator, WrongPasswordIsRefused) {
  StartDevice({}, "PELICANUS");
  UseImage(1024);
  request_.password = "pelicanus";
  const Outcome outcome = Run();
  EXPECT_EQ(outcome.code, kResultDeviceError);
  EXPECT_EQ(outcome.pieces.back(), "FAIL\r\n");
}

struct ProgressCase {
  size_t size;
  std::vector<int> progress;
};

void PrintTo(const ProgressCase& tested, std::ostream* out) {
  *out << tested.size << " bytes";
}

class UpdateProgress : public UpdateAgainstSimulator,
                       public ::testing::WithParamInterface<ProgressCase> {};

TEST_P(UpdateProgress, FollowsTheAcknowledgedChunks) {
  StartDevice();
  UseImage(GetParam().size);
  const Outcome outcome = Run();
  ASSERT_EQ(outcome.code, kResultSuccess) << outcome.Log();
  EXPECT_EQ(outcome.progress, GetParam().progress);
  EXPECT_EQ(outcome.Count("."), GetParam().progress.size());
  EXPECT_EQ(OnlySession().image, Bytes(image_));
}

INSTANTIATE_TEST_SUITE_P(Sizes, UpdateProgress,
                         ::testing::Values(ProgressCase{1, {100}}, ProgressCase{1024, {100}},
                                           ProgressCase{1025, {99, 100}},
                                           ProgressCase{3000, {34, 68, 100}}),
                         [](const ::testing::TestParamInfo<ProgressCase>& tested) {
                           return "Bytes" + std::to_string(tested.param.size);
                         });

TEST_F(UpdateAgainstSimulator, SilentDeviceIsInvitedThreeTimes) {
  sim::DeviceFaults faults;
  faults.updateNoAnswer = true;
  StartDevice(faults);
  UseImage(1024);
  UpdateLimits limits = TestLimits();
  limits.answerWaitMs = 300;
  const Outcome outcome = Run(limits);
  EXPECT_EQ(outcome.code, kResultDeviceError);
  const auto sent = SentMessages(outcome);
  ASSERT_EQ(sent.size(), 3u);
  const std::vector<std::string> attempt = {sent[0], "recvfrom: ", "no-recv.\r\n"};
  std::vector<std::string> expected;
  for (int i = 0; i < 3; ++i) expected.insert(expected.end(), attempt.begin(), attempt.end());
  expected.push_back("no-recv error.\r\n");
  ASSERT_GE(outcome.pieces.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(outcome.pieces.end() - static_cast<long>(expected.size()),
                                     outcome.pieces.end()),
            expected);
  EXPECT_EQ(sim_->Invitations(0), 3);
}

TEST_F(UpdateAgainstSimulator, DeviceAnsweringOnlyTheThirdInvitationIsWritten) {
  sim::DeviceFaults faults;
  faults.answerOnlyInvitation = 3;
  StartDevice(faults);
  UseImage(2000);
  UpdateLimits limits = TestLimits();
  limits.answerWaitMs = 300;
  const Outcome outcome = Run(limits);
  ASSERT_EQ(outcome.code, kResultSuccess) << outcome.Log();
  const auto sent = SentMessages(outcome);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0], sent[1]);
  EXPECT_EQ(sent[1], sent[2]);
  EXPECT_EQ(outcome.Count("no-recv.\r\n"), 2u);
  EXPECT_EQ(sim_->Invitations(0), 3);
  EXPECT_EQ(OnlySession().image, Bytes(image_));
}

TEST_F(UpdateAgainstSimulator, JunkAnswerIsABadAnswer) {
  sim::DeviceFaults faults;
  faults.junkAnswer = true;
  StartDevice(faults);
  UseImage(1024);
  const Outcome outcome = Run();
  EXPECT_EQ(outcome.code, kResultDeviceError);
  ASSERT_GE(outcome.pieces.size(), 2u);
  EXPECT_EQ(
      outcome.pieces.end()[-2],
      "AUTHが帰ってきたときは認証パスワードをMD5エンコードして他にもいろいろやって送る。\r\n");
  EXPECT_EQ(outcome.pieces.back(), "Bad Answer: ERR\r\n");
}

TEST_F(UpdateAgainstSimulator, RefusedAuthenticationFails) {
  sim::DeviceFaults faults;
  faults.rejectAuth = true;
  StartDevice(faults, "PELICANUS");
  UseImage(1024);
  const Outcome outcome = Run();
  EXPECT_EQ(outcome.code, kResultDeviceError);
  ASSERT_GE(outcome.pieces.size(), 2u);
  EXPECT_EQ(outcome.pieces.end()[-2], "done: ");
  EXPECT_EQ(outcome.pieces.back(), "FAIL\r\n");
}

TEST_F(UpdateAgainstSimulator, MissingAuthenticationReplyIsATimeOut) {
  sim::DeviceFaults faults;
  faults.noAuthReply = true;
  StartDevice(faults, "PELICANUS");
  UseImage(1024);
  UpdateLimits limits = TestLimits();
  limits.answerWaitMs = 300;
  const Outcome outcome = Run(limits);
  EXPECT_EQ(outcome.code, errors::kTimedOut);
  EXPECT_EQ(outcome.pieces.back(), Format("ERROR: %d\r\n", errors::kTimedOut));
  EXPECT_EQ(sim_->Invitations(0), 1);  // not invited again
}

TEST_F(UpdateAgainstSimulator, DeviceThatNeverConnectsIsCode4) {
  sim::DeviceFaults faults;
  faults.neverConnect = true;
  StartDevice(faults);
  UseImage(1024);
  UpdateLimits limits = TestLimits();
  limits.connectWaitMs = 300;
  const Outcome outcome = Run(limits);
  EXPECT_EQ(outcome.code, kResultNoConnection);
  EXPECT_EQ(outcome.pieces.back(), "要求だけでペイロードはないので注意すること。\r\n");
}

TEST_F(UpdateAgainstSimulator, ConnectionLaterThanTheWaitIsCode4) {
  sim::DeviceFaults faults;
  faults.connectDelayMs = 1500;
  StartDevice(faults);
  UseImage(1024);
  UpdateLimits limits = TestLimits();
  limits.connectWaitMs = 300;
  EXPECT_EQ(Run(limits).code, kResultNoConnection);
}

TEST_F(UpdateAgainstSimulator, ConnectionWithinTheWaitIsTaken) {
  sim::DeviceFaults faults;
  faults.connectDelayMs = 300;
  StartDevice(faults);
  UseImage(1024);
  const Outcome outcome = Run();
  EXPECT_EQ(outcome.code, kResultSuccess) << outcome.Log();
  EXPECT_EQ(OnlySession().image, Bytes(image_));
}

TEST_F(UpdateAgainstSimulator, MissingFileIsAFileError) {
  StartDevice();
  request_.firmwarePath = (dir_.path() / "KS_N_gone.bin").string();
  const Outcome outcome = Run();
  EXPECT_EQ(outcome.code, kResultFileError);
  EXPECT_EQ(outcome.pieces,
            (std::vector<std::string>{"まずファイルのMD5を計算する。\r\n", "ERROR: Open\r\n"}));
  EXPECT_EQ(sim_->Invitations(0), 0);
}

TEST_F(UpdateAgainstSimulator, EmptyFileIsAFileErrorBeforeAnythingIsSent) {
  StartDevice();
  UseImage(0);
  const Outcome outcome = Run();
  EXPECT_EQ(outcome.code, kResultFileError);
  EXPECT_EQ(sim_->Invitations(0), 0);
}

TEST_F(UpdateAgainstSimulator, LocalAddressNotOfThisHostFailsAtTheBind) {
  StartDevice();
  UseImage(1024);
  request_.localAddress = "192.0.2.1";  // documentation range: never an address here
  const Outcome outcome = Run();
  EXPECT_EQ(outcome.code, errors::kAddressNotAvailable);
  ASSERT_GE(outcome.pieces.size(), 2u);
  EXPECT_EQ(outcome.pieces.end()[-2], "bind \"192.0.2.1\":");
  EXPECT_EQ(outcome.pieces.back(), Format("ERROR: %d\r\n", errors::kAddressNotAvailable));
  EXPECT_EQ(sim_->Invitations(0), 0);
}

// The device connects back to the invitation's source; a write from another
// local address than 127.0.0.1 only works when the invitation leaves from it.
TEST_F(UpdateAgainstSimulator, WritesFromAnotherLocalAddress) {
  StartDevice();
  UseImage(1500);
  request_.localAddress = "127.0.0.8";
  const Outcome outcome = Run();
  ASSERT_EQ(outcome.code, kResultSuccess) << outcome.Log();
  EXPECT_EQ(OnlySession().image, Bytes(image_));
}

TEST_F(UpdateAgainstSimulator, StalledTransferEndsWithTheTimeOut) {
  sim::DeviceFaults faults;
  faults.stallAfterBytes = 2048;
  StartDevice(faults);
  UseImage(5000);
  UpdateLimits limits = TestLimits();
  limits.stallMs = 300;
  const Outcome outcome = Run(limits);
  EXPECT_EQ(outcome.code, errors::kTimedOut);
  EXPECT_EQ(outcome.pieces.back(), Format("recv error.%d\r\n", errors::kTimedOut));
  EXPECT_EQ(outcome.progress, (std::vector<int>{20, 40}));
}

TEST_F(UpdateAgainstSimulator, CloseInsteadOfTheFinalAnswerIsSuccess) {
  sim::DeviceFaults faults;
  faults.closeInsteadOfFinal = true;
  StartDevice(faults);
  UseImage(2000);
  const Outcome outcome = Run();
  EXPECT_EQ(outcome.code, kResultSuccess) << outcome.Log();
  EXPECT_EQ(OnlySession().image, Bytes(image_));
}

TEST_F(UpdateAgainstSimulator, FileShrinkingBeforeTheTransferIsAReadError) {
  StartDevice();
  UseImage(3000);
  const Outcome outcome = Run(TestLimits(), nullptr, [&](std::string_view piece) {
    if (piece == "ここから書き込み。\r\n") {
      std::filesystem::resize_file(request_.firmwarePath, 1500);
    }
  });
  EXPECT_EQ(outcome.code, kResultFileError);
  EXPECT_EQ(outcome.pieces.back(), "read error.\r\n");
  EXPECT_EQ(outcome.progress, (std::vector<int>{34}));
}

TEST_F(UpdateAgainstSimulator, StopEndsATransferAtOnce) {
  sim::DeviceFaults faults;
  faults.stallAfterBytes = 2048;
  StartDevice(faults);
  UseImage(5000);
  UpdateLimits limits = TestLimits();
  limits.stallMs = 60000;  // only the stop can end the wait
  StopSignal stop;
  std::thread stopper;
  const Outcome outcome = Run(limits, &stop, [&](std::string_view piece) {
    if (piece == "接続した。1024バイトずつファームウェアを送信。\r\n")
      stopper = std::thread([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stop.Trigger();
      });
  });
  if (stopper.joinable()) stopper.join();
  EXPECT_EQ(outcome.code, errors::kCanceled);
  EXPECT_TRUE(outcome.pieces.back().ends_with(Format("error.%d\r\n", errors::kCanceled)))
      << outcome.pieces.back();
}

}  // namespace
}  // namespace kesto
