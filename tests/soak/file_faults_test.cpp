// Whatever happens to the image file, from the operator's choice to the last
// chunk: the right result code and log line, and nothing left half done. The
// simulated device's sessions tell what it got; a write refused before
// anything was sent must not have reached it at all.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

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

// The log lines the hooks wait for: before the file is examined, and after the
// handshake, right before the file is opened for the transfer.
constexpr std::string_view kBeforeDigest = "まずファイルのMD5を計算する。\r\n";
constexpr std::string_view kBeforeTransfer = "ここから書き込み。\r\n";
constexpr milliseconds kBound{30000};
constexpr size_t kMiB = 1024 * 1024;

UpdateLimits Limits() {
  UpdateLimits limits;
  limits.answerWaitMs = 1000;
  limits.attempts = 2;
  limits.connectWaitMs = 3000;
  limits.stallMs = 3000;
  return limits;
}

bool IsRoot() {
  return geteuid() == 0;
}

class FileFaults : public ::testing::Test {
 protected:
  void SetUp() override { StartDevice({}); }

  void StartDevice(sim::DeviceFaults faults) {
    simulator_.reset();
    sim::DeviceConfig device;
    device.address = "127.0.0.3";
    device.faults = faults;
    simulator_ = std::make_unique<sim::Simulator>(std::vector<sim::DeviceConfig>{device}, ports_);
    ASSERT_EQ(simulator_->Start(), 0);
  }

  std::string Image(size_t size, uint32_t seed = 5) {
    image_ = testing::ImageBytes(size, seed);
    path_ = files_.Write("KS_N_image.bin", image_);
    return path_;
  }

  // A write of path; hook sees every log piece as it comes.
  RunOutcome Write(const std::string& path,
                   const std::function<void(std::string_view)>& hook = {}) {
    UpdateRequest request;
    request.deviceAddress = "127.0.0.3";
    request.localAddress = "127.0.0.1";
    request.devicePort = ports_.update;
    request.firmwarePath = path;
    StopSignal stop;
    Watchdog watchdog(stop, kBound);
    RunOutcome outcome = testing::Write(request, Limits(), &stop, hook);
    EXPECT_FALSE(watchdog.Done()) << "the write ran past " << kBound.count() << " ms";
    return outcome;
  }

  // Refused before anything was sent: not even an invitation.
  void ExpectNothingSent() {
    EXPECT_EQ(simulator_->Invitations(0), 0);
    EXPECT_TRUE(simulator_->Sessions(0).empty());
  }

  // The device's one session, once it has ended.
  sim::UpdateSession OnlySession() {
    EXPECT_TRUE(simulator_->WaitForSessions(0, 1, 5000));
    const auto sessions = simulator_->Sessions(0);
    EXPECT_EQ(sessions.size(), 1u);
    return sessions.empty() ? sim::UpdateSession{} : sessions.front();
  }

  std::vector<uint8_t> Bytes(std::string_view text) const {
    return std::vector<uint8_t>(text.begin(), text.end());
  }

  // Runs action once, when the piece is logged.
  static std::function<void(std::string_view)> On(std::string_view piece,
                                                  std::function<void()> action) {
    return [piece, action = std::move(action), done = false](std::string_view logged) mutable {
      if (!done && logged == piece) {
        done = true;
        action();
      }
    };
  }

  const sim::Ports ports_ = kesto::testing::NextTestPorts();
  std::unique_ptr<sim::Simulator> simulator_;
  testing::ScratchDir files_;
  std::string image_;
  std::string path_;
};

// ---- Sizes

TEST_F(FileFaults, EmptyImageIsRefusedAtTheDigest) {
  const RunOutcome outcome = Write(Image(0));
  EXPECT_EQ(outcome.code, kResultInternalError);
  EXPECT_EQ(outcome.pieces.back(), "ERROR: getMD5\r\n");
  ExpectNothingSent();
}

TEST_F(FileFaults, ImagesOfFourMebibytesAndOneByteMoreArriveWhole) {
  for (const size_t size : {4 * kMiB, 4 * kMiB + 1}) {
    StartDevice({});
    const RunOutcome outcome = Write(Image(size, static_cast<uint32_t>(size)));
    ASSERT_EQ(outcome.code, kResultSuccess) << size;
    EXPECT_TRUE(outcome.Logged(std::string("size ") + std::to_string(size) + " :"));
    const sim::UpdateSession session = OnlySession();
    EXPECT_TRUE(session.complete);
    EXPECT_TRUE(session.md5Matched);
    EXPECT_TRUE(session.image == Bytes(image_)) << size;
  }
}

// The size travels as a signed 32-bit number: from 2 GiB on (sparse files, so
// nothing is written to the disk) the image is refused before a byte is read
// or sent, and no size wraps around into a small one (4 GiB + 1024 is not 1024).
TEST_F(FileFaults, ImagesOfTwoGibibytesAndMoreAreRefusedBeforeAnythingIsSent) {
  for (const long long size :
       {1LL << 31, (1LL << 31) + 1, 1LL << 32, (1LL << 32) + 1024, 5LL << 30, 1LL << 40}) {
    const std::string path = files_.PathOf("KS_N_huge.bin");
    const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    const bool sized = ftruncate(fd, static_cast<off_t>(size)) == 0;
    close(fd);
    if (!sized) GTEST_SKIP() << "no sparse file of " << size << " bytes here";
    const auto start = testing::SoakClock::now();
    const RunOutcome outcome = Write(path);
    EXPECT_EQ(outcome.code, kResultFileError) << size;
    EXPECT_TRUE(outcome.pieces.back().starts_with("ERROR: ")) << outcome.pieces.back();
    EXPECT_FALSE(outcome.Log().find("size ") != std::string::npos) << outcome.Log();
    // Refused from the file's status alone: nothing was digested.
    EXPECT_LT(testing::SoakClock::now() - start, kBound);
    ExpectNothingSent();
    std::filesystem::remove(path);
  }
}

// ---- Not a regular file

TEST_F(FileFaults, DirectoriesDevicesAndPipesAreRefusedBeforeAnythingIsSent) {
  const std::string fifo = files_.PathOf("KS_N_pipe.bin");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string dangling = files_.PathOf("KS_N_link.bin");
  ASSERT_EQ(symlink(files_.PathOf("gone.bin").c_str(), dangling.c_str()), 0);
  const std::string toZero = files_.PathOf("KS_N_zero.bin");
  ASSERT_EQ(symlink("/dev/zero", toZero.c_str()), 0);
  for (const std::string& path :
       {files_.path().string(), std::string("/dev/zero"), std::string("/dev/null"), fifo, dangling,
        toZero, files_.PathOf("never-there.bin"), std::string()}) {
    const RunOutcome outcome = Write(path);
    EXPECT_EQ(outcome.code, kResultFileError) << path;
    EXPECT_EQ(outcome.pieces.back(), "ERROR: Open\r\n") << path;
  }
  ExpectNothingSent();
}

// ---- Changed between the choice and the digest

TEST_F(FileFaults, RemovedBeforeTheDigest) {
  const std::string path = Image(3000);
  const RunOutcome outcome = Write(path, On(kBeforeDigest, [&] { std::filesystem::remove(path); }));
  EXPECT_EQ(outcome.code, kResultFileError);
  EXPECT_EQ(outcome.pieces.back(), "ERROR: Open\r\n");
  ExpectNothingSent();
}

// As root, permissions do not stop a read; a path that turns into a folder
// does, for anyone.
TEST_F(FileFaults, TurnedIntoAFolderBeforeTheDigest) {
  const std::string path = Image(3000);
  const RunOutcome outcome = Write(path, On(kBeforeDigest, [&] {
                                     std::filesystem::remove(path);
                                     std::filesystem::create_directory(path);
                                   }));
  EXPECT_EQ(outcome.code, kResultFileError);
  EXPECT_EQ(outcome.pieces.back(), "ERROR: Open\r\n");
  ExpectNothingSent();
}

TEST_F(FileFaults, UnreadableBeforeTheDigest) {
  if (IsRoot()) GTEST_SKIP() << "root reads a file whatever its mode; see TurnedIntoAFolder";
  const std::string path = Image(3000);
  const RunOutcome outcome = Write(path, On(kBeforeDigest, [&] { chmod(path.c_str(), 0); }));
  EXPECT_EQ(outcome.code, kResultInternalError);
  EXPECT_EQ(outcome.pieces.back(), "ERROR: getMD5\r\n");
  ExpectNothingSent();
}

// Grown after its size was taken, before its digest: the digest covers bytes
// the announced size leaves out, and the device refuses what it got.
TEST_F(FileFaults, GrownBetweenTheSizeAndTheDigestIsNeverASuccess) {
  const std::string path = Image(3000);
  const RunOutcome outcome = Write(path, [&, done = false](std::string_view piece) mutable {
    if (!done && piece.starts_with("size ")) {
      done = true;
      std::ofstream(path, std::ios::binary | std::ios::app) << "appended";
    }
  });
  EXPECT_NE(outcome.code, kResultSuccess) << outcome.Log();
  for (const sim::UpdateSession& session : simulator_->Sessions(0)) EXPECT_FALSE(session.accepted);
}

// ---- Changed between the digest and the transfer

TEST_F(FileFaults, RemovedBeforeTheTransfer) {
  const std::string path = Image(3000);
  const RunOutcome outcome =
      Write(path, On(kBeforeTransfer, [&] { std::filesystem::remove(path); }));
  EXPECT_EQ(outcome.code, kResultFileError);
  EXPECT_EQ(outcome.pieces.back(), kBeforeTransfer);  // no line of its own
  // The device was told to come; it found nobody listening any more.
  EXPECT_FALSE(OnlySession().complete);
}

TEST_F(FileFaults, UnreadableBeforeTheTransfer) {
  if (IsRoot()) GTEST_SKIP() << "root reads a file whatever its mode; see TurnedIntoAFolder";
  const std::string path = Image(3000);
  const RunOutcome outcome = Write(path, On(kBeforeTransfer, [&] { chmod(path.c_str(), 0); }));
  EXPECT_EQ(outcome.code, kResultFileError);
  EXPECT_FALSE(OnlySession().complete);
}

// A folder opens for reading but gives no bytes: the first chunk fails.
TEST_F(FileFaults, TurnedIntoAFolderBeforeTheTransfer) {
  const std::string path = Image(3000);
  const RunOutcome outcome = Write(path, On(kBeforeTransfer, [&] {
                                     std::filesystem::remove(path);
                                     std::filesystem::create_directory(path);
                                   }));
  EXPECT_EQ(outcome.code, kResultFileError);
  EXPECT_EQ(outcome.pieces.back(), "read error.\r\n");
  const sim::UpdateSession session = OnlySession();
  EXPECT_FALSE(session.complete);
  EXPECT_TRUE(session.image.empty());
}

TEST_F(FileFaults, TruncatedBeforeTheTransfer) {
  for (const size_t keep : {size_t{0}, size_t{1500}, size_t{2999}}) {
    StartDevice({});
    const std::string path = Image(3000);
    const RunOutcome outcome =
        Write(path, On(kBeforeTransfer, [&] { std::filesystem::resize_file(path, keep); }));
    EXPECT_EQ(outcome.code, kResultFileError) << keep;
    EXPECT_EQ(outcome.pieces.back(), "read error.\r\n") << keep;
    const sim::UpdateSession session = OnlySession();
    EXPECT_FALSE(session.complete) << keep;
    EXPECT_FALSE(session.accepted) << keep;
    // Whole chunks only, and each as the file had it.
    EXPECT_LE(session.image.size(), keep);
    const std::vector<uint8_t> whole = Bytes(image_);
    EXPECT_TRUE(std::equal(session.image.begin(), session.image.end(), whole.begin())) << keep;
  }
}

// Bytes appended after the digest: the announced size is sent, which is the
// image that was chosen, digested and announced; the device gets exactly that.
TEST_F(FileFaults, GrownByAppendingBeforeTheTransferSendsTheAnnouncedImage) {
  const std::string path = Image(3000);
  const std::string original = image_;
  const RunOutcome outcome = Write(path, On(kBeforeTransfer, [&] {
                                     std::ofstream(path, std::ios::binary | std::ios::app)
                                         << std::string(5000, 'x');
                                   }));
  EXPECT_EQ(outcome.code, kResultSuccess) << outcome.Log();
  const sim::UpdateSession session = OnlySession();
  EXPECT_TRUE(session.complete);
  EXPECT_TRUE(session.accepted);
  EXPECT_TRUE(session.image == Bytes(original));
}

// Other content after the digest: the device checks the digest of what it got
// against the announced one and refuses it.
TEST_F(FileFaults, RewrittenBeforeTheTransferIsRefusedByTheDevice) {
  const std::string path = Image(3000);
  const RunOutcome outcome = Write(path, On(kBeforeTransfer, [&] {
                                     files_.Write("KS_N_image.bin", testing::ImageBytes(8000, 99));
                                   }));
  EXPECT_EQ(outcome.code, kResultDeviceError) << outcome.Log();
  EXPECT_EQ(outcome.pieces.back(), "Bad Answer: MD5 Check Failed\r\n");
  const sim::UpdateSession session = OnlySession();
  EXPECT_TRUE(session.complete);
  EXPECT_FALSE(session.md5Matched);
  EXPECT_FALSE(session.accepted);
}

// A pipe in the file's place opens only once someone writes into it: the
// writer must not wait for that, neither at the digest (the size was taken
// from the file) nor at the transfer.
// Should it wait, the rescue opens the pipe for writing after a while, so the
// test ends either way.
TEST_F(FileFaults, TurnedIntoAPipeDoesNotHang) {
  const struct {
    std::string_view moment;
    int32_t code;
    std::string lastLine;
  } kCases[] = {{"size 3000 :", kResultInternalError, "ERROR: getMD5\r\n"},
                {kBeforeTransfer, kResultFileError, "read error.\r\n"}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.moment));
    std::filesystem::remove(files_.PathOf("KS_N_image.bin"));  // the last case's pipe
    const std::string path = Image(3000);
    std::thread rescue;
    StopSignal rescued;
    const auto start = testing::SoakClock::now();
    const RunOutcome outcome = Write(path, On(c.moment, [&] {
                                       std::filesystem::remove(path);
                                       ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
                                       rescue = std::thread([&] {
                                         if (rescued.SleepFor(10000)) {
                                           const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
                                           if (fd >= 0) close(fd);
                                         }
                                       });
                                     }));
    rescued.Trigger();
    if (rescue.joinable()) rescue.join();
    EXPECT_LT(testing::SoakClock::now() - start, std::chrono::seconds(10))
        << "the write waited for a writer of the pipe";
    EXPECT_EQ(outcome.code, c.code);
    EXPECT_EQ(outcome.pieces.back(), c.lastLine);
  }
}

}  // namespace
}  // namespace kesto
