// The update run against a scripted device: outcomes, phases, the bytes on
// the wire and what the device received, including the stream splits and
// hostile turns real devices take.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "fake_device.h"
#include "platform/format.h"
#include "support/test_support.h"
#include "update/md5.h"

namespace kesto {
namespace {

using namespace kesto::testing;
using Phase = UpdatePhase;

constexpr const char* kDeviceAddress = "127.0.0.2";
constexpr const char* kNonce = "0123456789abcdef0123456789abcdef";

std::string Md5Hex(const std::string& text) {
  Md5Digest digest{};
  EXPECT_TRUE(StringMd5(text.data(), text.size(), digest));
  return DigestText(digest);
}

std::string CountAck(size_t count, bool) {
  return std::to_string(count);
}
std::string CountThenOk(size_t count, bool last) {
  return std::to_string(count) + (last ? "OK" : "");
}

// Takes the invitation, answers "OK" and connects back; none on a failure.
std::optional<ParsedInvitation> AcceptInvitation(FakeUpdateDevice& device) {
  auto invitation = ParseInvitationText(device.ReceiveDatagram().value_or(""));
  if (!invitation) return std::nullopt;
  device.Reply("OK");
  if (!device.Connect(static_cast<uint16_t>(invitation->port), kDeviceAddress)) return std::nullopt;
  return invitation;
}

// Takes size bytes of the image; the last read acknowledged or not.
void Take(FakeUpdateDevice& device, size_t size, bool ackLast) {
  device.TakeImage(size, 1024, [ackLast](size_t count, bool last) {
    return last && !ackLast ? std::string() : std::to_string(count);
  });
}

WriteOutcome Network(int error) {
  return {WriteResult::kNetworkError, error};
}
WriteOutcome Ended(WriteResult result) {
  return {result, 0};
}

class UpdateProtocol : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(device_.bound());
    request_.deviceAddress = kDeviceAddress;
    request_.localAddress = "127.0.0.1";
    request_.devicePort = port_;
  }

  std::string UseImage(size_t size, uint32_t seed = 3) {
    image_ = PatternBytes(size, seed);
    request_.firmwarePath = dir_.Write("KS_N_image.bin", image_);
    return request_.firmwarePath;
  }

  // Answers the invitation with `answer` and takes the image in reads of
  // `piece` bytes; `ack` shapes the acknowledgements and the final answer.
  void PlainDevice(std::string answer, size_t piece,
                   std::function<std::string(size_t, bool)> ack = CountThenOk) {
    device_.Start([this, answer, piece, ack](FakeUpdateDevice& device) {
      const auto text = device.ReceiveDatagram();
      if (!text) return;
      invitations_.push_back(*text);
      const auto invitation = ParseInvitationText(*text);
      if (!invitation) return;
      device.Reply(answer);
      if (!device.Connect(static_cast<uint16_t>(invitation->port), kDeviceAddress)) return;
      if (auto got = device.TakeImage(static_cast<size_t>(invitation->size), piece, ack))
        received_ = *got;
      closedByWriter_ = device.AwaitClose();
    });
  }

  Outcome Run(const UpdateLimits& limits = TestLimits(), const StopSignal* stop = nullptr,
              const std::function<void(UpdatePhase)>& onPhase = {}) {
    Outcome outcome = RunWrite(request_, limits, stop, onPhase);
    device_.Join();
    return outcome;
  }

  const uint16_t port_ = NextTestPorts().update;
  FakeUpdateDevice device_{kDeviceAddress, port_};
  TempDir dir_;
  UpdateRequest request_;
  std::string image_;
  std::vector<std::string> invitations_;
  std::string received_;
  bool closedByWriter_ = false;
};

TEST_F(UpdateProtocol, PlainWriteSendsTheInvitationAndTheImage) {
  UseImage(1025);
  request_.localAddress = "127.0.0.9";  // the invitation leaves from the listener's address
  request_.listenerPort = static_cast<uint16_t>(port_ + 2);
  PlainDevice("OK", 1024);
  const Outcome outcome = Run();
  ASSERT_EQ(outcome.end, Ended(WriteResult::kSuccess)) << outcome.log;
  EXPECT_EQ(received_, image_);
  EXPECT_TRUE(closedByWriter_);
  EXPECT_EQ(Ipv4Text(device_.lastSender().sin_addr.s_addr), "127.0.0.9");
  ASSERT_EQ(invitations_.size(), 1u);
  EXPECT_EQ(invitations_[0], Format("0 %d 1025 %s\n", port_ + 2, Md5Hex(image_).c_str()));
  EXPECT_EQ(outcome.phases, (std::vector<Phase>{Phase::kInvitation, Phase::kWaitingForDevice,
                                                Phase::kTransfer, Phase::kFinalAnswer}));
  EXPECT_EQ(outcome.progress, (std::vector<int>{99, 100}));
}

TEST_F(UpdateProtocol, AuthenticatesWithTheDigestsOfPasswordNonceAndCnonce) {
  UseImage(2048);
  request_.password = "PELICANUS";
  device_.Start([&](FakeUpdateDevice& device) {
    const auto invitation = ParseInvitationText(device.ReceiveDatagram().value_or(""));
    if (!invitation) return;
    device.Reply(std::string("AUTH ") + kNonce);
    const std::string cnonce =
        Md5Hex(request_.firmwarePath + "2048" + invitation->md5 + kDeviceAddress);
    const std::string response = Md5Hex(Md5Hex("PELICANUS") + ":" + kNonce + ":" + cnonce);
    if (device.ReceiveDatagram() != "200 " + cnonce + " " + response + "\n") {
      device.Reply("FAIL");
      return;
    }
    device.Reply("OK");
    if (!device.Connect(static_cast<uint16_t>(invitation->port), kDeviceAddress)) return;
    if (auto got = device.TakeImage(2048, 1024, CountAck)) received_ = *got;
    device.Send("OK");
    device.AwaitClose();
  });
  const Outcome outcome = Run();
  ASSERT_EQ(outcome.end, Ended(WriteResult::kSuccess)) << outcome.log;
  EXPECT_EQ(received_, image_);
  EXPECT_EQ(outcome.phases,
            (std::vector<Phase>{Phase::kInvitation, Phase::kAuthentication,
                                Phase::kWaitingForDevice, Phase::kTransfer, Phase::kFinalAnswer}));
}

// Acknowledgements in the shapes real devices send them; every case must
// still find the final "OK".
TEST_F(UpdateProtocol, FinalOkIsFoundWhateverTheAcknowledgementsLookLike) {
  struct Case {
    const char* name;
    size_t size;
    size_t piece;               // bytes the device takes per read, each read acknowledged
    bool okInPlace;             // "OK" instead of the last count, not behind it
    std::vector<int> progress;  // empty: only the final 100 is checked
  };
  for (const Case& c : {
           Case{"final OK glued to the last count", 3000, 1024, false, {34, 68, 100}},
           Case{"more counts than chunks", 3000, 300, false, {}},
           Case{"final OK in place of the last count", 2000, 1024, true, {}},
           Case{"split counts of a whole image", 64 * 1024, 600, false, {}},
       }) {
    SCOPED_TRACE(c.name);
    UseImage(c.size);
    received_.clear();
    PlainDevice("OK", c.piece, [okInPlace = c.okInPlace](size_t count, bool last) {
      return okInPlace && last ? std::string("OK") : CountThenOk(count, last);
    });
    UpdateLimits limits = TestLimits();
    limits.stallMs = 5000;  // with the "OK" in place nothing more comes; it must do
    const Outcome outcome = Run(limits);
    EXPECT_EQ(outcome.end, Ended(WriteResult::kSuccess)) << outcome.log;
    EXPECT_EQ(received_, image_);
    ASSERT_FALSE(outcome.progress.empty());
    EXPECT_EQ(outcome.progress.back(), 100);
    if (!c.progress.empty()) {
      EXPECT_EQ(outcome.progress, c.progress);
    }
  }
}

// Devices that end the run their own way, each with the outcome it owes
// and the phase the run ended in.
TEST_F(UpdateProtocol, DevicesEndingTheRunBadly) {
  using Script = void (*)(FakeUpdateDevice&);
  struct Case {
    const char* name;
    size_t size;
    Script script;
    std::vector<WriteOutcome> outcomes;  // any of these
    Phase last;
    int stallMs = 3000;
    std::vector<int> progress = {};  // empty: not checked
  };
  const WriteOutcome reset = Network(ECONNRESET);
  for (const Case& c : {
           Case{"final error word, then close",
                1024,
                [](FakeUpdateDevice& d) {
                  if (!AcceptInvitation(d)) return;
                  Take(d, 1024, true);
                  d.Send("ERROR[7]: bad image");
                  d.CloseConnection();
                },
                {Ended(WriteResult::kDeviceError)},
                Phase::kFinalAnswer},
           Case{"final error line while staying connected",
                1500,
                [](FakeUpdateDevice& d) {
                  if (!AcceptInvitation(d)) return;
                  Take(d, 1500, true);
                  d.Send("MD5 Check Failed\r\n");
                  d.AwaitClose();
                },
                {Ended(WriteResult::kDeviceError)},
                Phase::kFinalAnswer,
                60000},
           Case{"hang-up before the last chunk's acknowledgement",
                3000,
                [](FakeUpdateDevice& d) {
                  if (!AcceptInvitation(d)) return;
                  Take(d, 2048, false);
                  d.CloseConnection();
                },
                {reset},
                Phase::kTransfer,
                3000,
                {34}},
           Case{"hang-up after acknowledging all but the last chunk",
                3000,
                [](FakeUpdateDevice& d) {
                  if (!AcceptInvitation(d)) return;
                  Take(d, 2048, true);
                  d.CloseConnection();
                },
                {reset},
                Phase::kTransfer},
           Case{"reset in the middle of the transfer",
                4096,
                [](FakeUpdateDevice& d) {
                  if (!AcceptInvitation(d)) return;
                  Take(d, 1024, true);
                  d.ResetConnection();
                },
                {reset, Network(EPIPE)},
                Phase::kTransfer,
                3000,
                {25}},
           Case{"reset instead of the final answer",
                1024,
                [](FakeUpdateDevice& d) {
                  if (!AcceptInvitation(d)) return;
                  Take(d, 1024, true);
                  d.ResetConnection();
                },
                {reset},
                Phase::kFinalAnswer},
           Case{"silence after the last chunk",
                1024,
                [](FakeUpdateDevice& d) {
                  if (!AcceptInvitation(d)) return;
                  Take(d, 1024, true);
                  d.AwaitClose();
                },
                {Network(ETIMEDOUT)},
                Phase::kFinalAnswer,
                300},
           // each byte well within the stall limit, the whole answer not
           Case{"dripped final answer",
                1024,
                [](FakeUpdateDevice& d) {
                  if (!AcceptInvitation(d)) return;
                  Take(d, 1024, true);
                  d.Drip("................OK", 100);
                },
                {Ended(WriteResult::kDeviceError)},
                Phase::kFinalAnswer,
                500},
           Case{"answers OK and never connects",
                1024,
                [](FakeUpdateDevice& d) {
                  if (d.ReceiveDatagram()) d.Reply("OK");
                },
                {Ended(WriteResult::kNoConnection)},
                Phase::kWaitingForDevice},
           Case{"unknown answer",
                1024,
                [](FakeUpdateDevice& d) {
                  if (d.ReceiveDatagram()) d.Reply("ERR");
                },
                {Ended(WriteResult::kDeviceError)},
                Phase::kInvitation},
           Case{"over-long authentication reply",
                1024,
                [](FakeUpdateDevice& d) {
                  if (!d.ReceiveDatagram()) return;
                  d.Reply(std::string("AUTH ") + kNonce);
                  if (d.ReceiveDatagram()) d.Reply("OK" + std::string(31, ' '));  // 33 bytes
                },
                {Network(EMSGSIZE)},
                Phase::kAuthentication},
           Case{"a stranger's OK, then the device's FAIL",
                1024,
                [](FakeUpdateDevice& d) {
                  if (!d.ReceiveDatagram()) return;
                  d.Reply(std::string("AUTH ") + kNonce);
                  if (!d.ReceiveDatagram()) return;
                  d.ReplyAsStranger("127.0.0.77", "OK");
                  d.Reply("FAIL");
                },
                {Ended(WriteResult::kDeviceError)},
                Phase::kAuthentication},
       }) {
    SCOPED_TRACE(c.name);
    UseImage(c.size);
    device_.Start(c.script);
    UpdateLimits limits = TestLimits();
    limits.stallMs = c.stallMs;
    limits.connectWaitMs = 500;
    const Outcome outcome = Run(limits);
    EXPECT_NE(std::find(c.outcomes.begin(), c.outcomes.end(), outcome.end), c.outcomes.end())
        << static_cast<int>(outcome.end.result) << "/" << outcome.end.systemError << "\n"
        << outcome.log;
    ASSERT_FALSE(outcome.phases.empty());
    EXPECT_EQ(outcome.phases.back(), c.last);
    if (!c.progress.empty()) {
      EXPECT_EQ(outcome.progress, c.progress);
    }
  }
}

TEST_F(UpdateProtocol, OverLongAnswerCountsAsMissingAndTheSameInvitationFollows) {
  UseImage(1024);
  device_.Start([this](FakeUpdateDevice& device) {
    invitations_.push_back(device.ReceiveDatagram().value_or(""));
    device.Reply(std::string("AUTH ") + kNonce + "X");  // 38 bytes
    invitations_.push_back(device.ReceiveDatagram().value_or(""));
    device.Reply("OK");
    const auto invitation = ParseInvitationText(invitations_.back());
    if (!invitation || !device.Connect(static_cast<uint16_t>(invitation->port), kDeviceAddress))
      return;
    if (auto got = device.TakeImage(1024, 1024, CountAck)) received_ = *got;
    device.Send("OK");
    device.AwaitClose();
  });
  const Outcome outcome = Run();
  EXPECT_EQ(outcome.end, Ended(WriteResult::kSuccess)) << outcome.log;
  ASSERT_EQ(invitations_.size(), 2u);
  EXPECT_EQ(invitations_[0], invitations_[1]);
  EXPECT_EQ(received_, image_);
}

// A stop ends each long wait: for the answer (no second invitation then),
// for the device's connection, and before the start (nothing sent).
TEST_F(UpdateProtocol, StopEndsTheRunAsCancelled) {
  for (const int where : {0, 1, 2}) {
    SCOPED_TRACE(where);
    UseImage(1024);
    std::atomic<int> invitations{0};
    device_.Start([&](FakeUpdateDevice& device) {
      while (device.ReceiveDatagram(where == 2 ? 200 : 3000)) {
        ++invitations;
        if (where == 1) device.Reply("OK");  // and goes no further
      }
    });
    StopSignal stop;
    if (where == 2) stop.Trigger();
    std::thread stopper;
    UpdateLimits limits = TestLimits();
    limits.answerWaitMs = limits.connectWaitMs = 60000;
    const Phase waitIn = where == 0 ? Phase::kInvitation : Phase::kWaitingForDevice;
    const Outcome outcome = Run(limits, &stop, [&](Phase phase) {
      if (phase == waitIn && !stopper.joinable())
        stopper = std::thread([&] {
          std::this_thread::sleep_for(std::chrono::milliseconds(200));
          stop.Trigger();
        });
    });
    if (stopper.joinable()) stopper.join();
    EXPECT_EQ(outcome.end.result, WriteResult::kCancelled);
    EXPECT_EQ(invitations, where == 2 ? 0 : 1);
  }
}

TEST_F(UpdateProtocol, MalformedDeviceAddressSendsNothing) {
  UseImage(1024);
  request_.deviceAddress = "127.0.0";
  const Outcome outcome = RunWrite(request_, TestLimits());
  EXPECT_EQ(outcome.end, Network(EINVAL));
  EXPECT_FALSE(device_.ReceiveDatagram(100));
}

// A send the system refuses with EPERM (a local firewall) is a network error
// with that number, though EPERM is 1, the value of the device-error code.
// The refusal comes from a seccomp filter in a child process.
TEST_F(UpdateProtocol, SystemErrorOneIsANetworkErrorNotADeviceError) {
  UseImage(1024);
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_sendto, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    int sent[2] = {-1, -1};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0) {
      UpdateHooks hooks;
      const WriteOutcome end = RunUpdate(request_, hooks, TestLimits());
      sent[0] = static_cast<int>(end.result);
      sent[1] = end.systemError;
    }
    _exit(write(report[1], sent, sizeof sent) == sizeof sent ? 0 : 1);
  }
  close(report[1]);
  int got[2] = {-1, -1};
  EXPECT_EQ(read(report[0], got, sizeof got), static_cast<ssize_t>(sizeof got));
  close(report[0]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(got[0], static_cast<int>(WriteResult::kNetworkError));
  EXPECT_EQ(got[1], EPERM);
  EXPECT_FALSE(device_.ReceiveDatagram(100));
}

// A stranger answering or connecting first is ignored and hung up on; an
// "OK" it sends must neither stand in for the device's nor win it the image.
TEST_F(UpdateProtocol, StrangersGetNothing) {
  for (const bool strangerAnswers : {false, true}) {
    SCOPED_TRACE(strangerAnswers);
    UseImage(2500);
    received_.clear();
    std::optional<std::string> strangerGot;
    device_.Start([&](FakeUpdateDevice& device) {
      const auto invitation = ParseInvitationText(device.ReceiveDatagram().value_or(""));
      if (!invitation) return;
      if (strangerAnswers) device.ReplyAsStranger("127.0.0.77", "OK");
      device.Reply("OK");
      const auto port = static_cast<uint16_t>(invitation->port);
      strangerGot = device.ConnectAsStranger(port, "127.0.0.77");
      if (!device.Connect(port, kDeviceAddress)) return;
      if (auto got = device.TakeImage(2500, 1024, CountAck)) received_ = *got;
      device.Send("OK");
      device.AwaitClose();
    });
    const Outcome outcome = Run();
    EXPECT_EQ(outcome.end, Ended(WriteResult::kSuccess)) << outcome.log;
    EXPECT_EQ(strangerGot, "");
    EXPECT_EQ(received_, image_);
  }
}

// A stranger flooding the invitation socket neither answers for the device
// nor keeps the wait going: the device's silence ends the run as usual.
TEST_F(UpdateProtocol, StrangersFloodNeitherAnswersNorStretchesTheWait) {
  UseImage(1024);
  std::atomic<bool> runEnded{false};
  std::atomic<bool> floodFinished{false};
  std::atomic<int> invitations{0};
  device_.Start([&](FakeUpdateDevice& device) {
    if (!device.ReceiveDatagram()) return;
    ++invitations;
    for (int i = 0; i < 500 && !runEnded; ++i) {  // far longer than the run may last
      device.ReplyAsStranger("127.0.0.77", "OK");
      if (device.ReceiveDatagram(20)) ++invitations;
    }
    floodFinished = !runEnded;
  });
  UpdateLimits limits = TestLimits();
  limits.answerWaitMs = 300;
  limits.attempts = 2;
  const Outcome outcome = RunWrite(request_, limits);
  runEnded = true;
  device_.Join();
  EXPECT_EQ(outcome.end, Ended(WriteResult::kDeviceError));
  EXPECT_EQ(invitations, 2);
  EXPECT_FALSE(floodFinished) << "the run must end while the flood goes on";
}

// The image file refused before anything is sent, or changed after its
// digest was announced: never a success with other bytes than announced,
// and never a hang on a pipe.
TEST_F(UpdateProtocol, ImageFileFaults) {
  struct Case {
    const char* name;
    void (*before)(const std::string& path);                   // before the run
    void (*announced)(const std::string& path, TempDir& dir);  // after the digest
    WriteResult result;
    bool invited;
  };
  const auto none = [](const std::string&) {};
  const auto unchanged = [](const std::string&, TempDir&) {};
  for (const Case& c : {
           Case{"missing", [](const std::string&p) { std::filesystem::remove(p); }, unchanged,
                WriteResult::kFileError, false},
           Case{"empty", [](const std::string&p) { std::filesystem::resize_file(p, 0); }, unchanged,
                WriteResult::kFileError, false},
           Case{"a folder",
                [](const std::string&p) {
                  std::filesystem::remove(p);
                  std::filesystem::create_directory(p);
                },
                unchanged, WriteResult::kFileError, false},
           // sparse: no disk space is taken and nothing is ever read
           Case{"beyond the signed size",
                [](const std::string&p) {
                  std::filesystem::resize_file(p, static_cast<uintmax_t>(INT32_MAX) + 1);
                },
                unchanged, WriteResult::kFileError, false},
           Case{"removed", none, [](const std::string&p, TempDir&) { std::filesystem::remove(p); },
                WriteResult::kFileError, true},
           Case{"truncated", none,
                [](const std::string&p, TempDir&) { std::filesystem::resize_file(p, 1500); },
                WriteResult::kFileError, true},
           Case{"rewritten with other bytes", none,
                [](const std::string&, TempDir&dir) {
                  dir.Write("KS_N_image.bin", PatternBytes(3000, 99));
                },
                WriteResult::kFileError, true},
           Case{"grown by appending", none,
                [](const std::string&p, TempDir&) {
                  std::ofstream(p, std::ios::app | std::ios::binary) << "more";
                },
                WriteResult::kSuccess, true},
           Case{"replaced by a pipe", none,
                [](const std::string&p, TempDir&) {
                  std::filesystem::remove(p);
                  mkfifo(p.c_str(), 0600);
                },
                WriteResult::kFileError, true},
       }) {
    SCOPED_TRACE(c.name);
    const std::string path = UseImage(3000);
    received_.clear();
    c.before(path);
    std::atomic<bool> invited{false};
    device_.Start([&](FakeUpdateDevice& device) {
      const auto invitation = ParseInvitationText(device.ReceiveDatagram(800).value_or(""));
      if (!invitation) return;
      invited = true;
      device.Reply("OK");
      if (!device.Connect(static_cast<uint16_t>(invitation->port), kDeviceAddress)) return;
      if (auto got = device.TakeImage(3000, 1024, CountAck)) received_ = *got;
      device.Send("OK");
      device.CloseConnection();
    });
    const Outcome outcome = Run(TestLimits(), nullptr, [&](Phase phase) {
      if (phase == Phase::kInvitation) c.announced(path, dir_);
    });
    EXPECT_EQ(outcome.end.result, c.result) << outcome.log;
    EXPECT_EQ(invited, c.invited);
    if (c.result == WriteResult::kSuccess) {
      EXPECT_EQ(received_, image_);
    }
    std::filesystem::remove_all(path);
  }
}

}  // namespace
}  // namespace kesto
