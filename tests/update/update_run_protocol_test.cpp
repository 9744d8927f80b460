// The update run against a scripted device: outcomes, phases, the bytes on
// the wire and what the device received, for honest and hostile devices.
#include <gtest/gtest.h>
#ifdef __linux__
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "fake_device.h"
#include "platform/errors.h"
#include "platform/format.h"
#include "support/test_support.h"
#include "update/md5.h"

// Device scripts name only the steps that differ from an honest device.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace kesto {
namespace {

using namespace kesto::testing;
using Phase = UpdatePhase;

constexpr const char* kDeviceAddress = "127.0.0.2";
constexpr const char* kNonce = "0123456789abcdef0123456789abcdef";
const std::string kAuth = std::string("AUTH ") + kNonce;

std::string Md5Hex(const std::string& text) {
  const Result<Md5Digest> digest = StringMd5(text.data(), text.size());
  EXPECT_TRUE(digest);
  return digest ? DigestText(*digest) : "";
}

WriteOutcome Explained(WriteOutcome outcome, WriteCause cause, std::string words = {}) {
  outcome.cause = cause;
  outcome.deviceWords = std::move(words);
  return outcome;
}
const auto Network = [](int error, WriteCause cause = WriteCause::kNone) {
  return Explained(WriteOutcome{WriteResult::kNetworkError, error}, cause);
};
const auto Ended = [](WriteResult result) { return WriteOutcome{result, 0}; };
const auto Device = [](WriteCause cause, std::string words = {}) {
  return Explained(WriteOutcome{WriteResult::kDeviceError, 0}, cause, std::move(words));
};
// The end and its explanation; the scheme is each test's own business.
auto End(WriteOutcome outcome) {
  outcome.authentication = Authentication::kUnknown;
  return outcome;
}

// What the scripted device does, step by step.
struct Script {
  std::string answer = "OK";  // to the invitation; empty: no answer
  std::string authReply;      // to the authentication message, when asked for one
  std::string secondAnswer;   // to a second invitation; empty: none awaited
  std::string secondAuthReply;
  bool connect = true;
  size_t piece = 1024;     // bytes taken per read, each read acknowledged
  size_t take = SIZE_MAX;  // bytes taken before the end below (all: the whole image)
  enum Acks { kCounts, kOkGlued, kOkInPlace, kLastUnacked, kRefusal } acks = kOkGlued;
  enum End { kSend, kSendClose, kClose, kReset, kAwaitClose } end = kAwaitClose;
  std::string words;  // sent at the end
};

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
    request_.image = Prepared(dir_.Write("KS_N_image.bin", image_));
    return request_.image.path;
  }

  void Play(Script s, int invitationWaitMs = FakeUpdateDevice::kStepWaitMs) {
    invitations_.clear();
    authMessages_.clear();
    received_.clear();
    closedByWriter_ = false;
    while (device_.ReceiveDatagram(0)) {  // invitations a former case left unanswered
    }
    device_.Start([this, s, invitationWaitMs](FakeUpdateDevice& device) {
      const auto text = device.ReceiveDatagram(invitationWaitMs);
      if (!text) return;
      invitations_.push_back(*text);
      const auto invitation = ParseInvitationText(*text);
      if (!invitation || s.answer.empty()) return;
      device.Reply(s.answer);
      if (s.answer.starts_with("AUTH")) {
        authMessages_.push_back(device.ReceiveDatagram().value_or(""));
        if (!s.authReply.empty()) device.Reply(s.authReply);
      }
      if (!s.secondAnswer.empty()) {
        invitations_.push_back(device.ReceiveDatagram().value_or(""));
        device.Reply(s.secondAnswer);
        authMessages_.push_back(device.ReceiveDatagram().value_or(""));
        if (!s.secondAuthReply.empty()) device.Reply(s.secondAuthReply);
      }
      if (!s.connect || !device.Connect(static_cast<uint16_t>(invitation->port), kDeviceAddress))
        return;
      const size_t size = std::min(s.take, static_cast<size_t>(invitation->size));
      if (auto got = device.TakeImage(size, s.piece, [&s](size_t count, bool last) {
            if (!last || s.acks == Script::kCounts) return std::to_string(count);
            if (s.acks == Script::kOkGlued) return std::to_string(count) + "OK";
            if (s.acks == Script::kRefusal) return std::string("Wrong Magic Byte");
            return std::string(s.acks == Script::kOkInPlace ? "OK" : "");
          }))
        received_ = *got;
      if (s.end == Script::kSend || s.end == Script::kSendClose) device.Send(s.words);
      if (s.end == Script::kSendClose || s.end == Script::kClose) device.CloseConnection();
      if (s.end == Script::kReset) device.ResetConnection();
      if (s.end == Script::kSend || s.end == Script::kAwaitClose)
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
  std::vector<std::string> authMessages_;
  std::string received_;
  bool closedByWriter_ = false;
};

TEST_F(UpdateProtocol, PlainWriteSendsTheInvitationAndTheImage) {
  UseImage(1025);
  request_.localAddress = "127.0.0.9";  // the invitation leaves from the listener's address
  request_.listenerPort = static_cast<uint16_t>(port_ + 2);
  // Handed over open: a listener of the run's own could not bind beside it.
  Result<Listener> held = OpenListener(request_.localAddress, request_.listenerPort, {});
  ASSERT_TRUE(held);
  Play({});
  const Outcome outcome = RunWrite(request_, TestLimits(), nullptr, {}, std::move(*held));
  device_.Join();
  ASSERT_EQ(End(outcome.end), Ended(WriteResult::kSuccess)) << outcome.log;
  EXPECT_EQ(outcome.end.authentication, Authentication::kNone);
  EXPECT_EQ(received_, image_);
  EXPECT_TRUE(closedByWriter_);
  EXPECT_EQ(Ipv4Text(device_.lastSender().sin_addr.s_addr), "127.0.0.9");
  EXPECT_EQ(invitations_,
            std::vector<std::string>{Format("0 %d 1025 %s\n", port_ + 2, Md5Hex(image_).c_str())});
  EXPECT_EQ(outcome.phases, (std::vector<Phase>{Phase::kInvitation, Phase::kWaitingForDevice,
                                                Phase::kTransfer, Phase::kFinalAnswer}));
  EXPECT_EQ(outcome.progress, (std::vector<int>{99, 100}));
}

TEST_F(UpdateProtocol, AuthenticatesWithTheDigestsOfPasswordNonceAndCnonce) {
  UseImage(2048);
  request_.password = "PELICANUS";
  Play({.answer = kAuth, .authReply = "OK"});
  const Outcome outcome = Run();
  ASSERT_EQ(End(outcome.end), Ended(WriteResult::kSuccess)) << outcome.log;
  EXPECT_EQ(received_, image_);
  const std::string cnonce = Md5Hex(request_.image.path + "2048" + Md5Hex(image_) + kDeviceAddress);
  EXPECT_EQ(authMessages_, std::vector<std::string>{
                               "200 " + cnonce + " " +
                               Md5Hex(Md5Hex("PELICANUS") + ":" + kNonce + ":" + cnonce) + "\n"});
  EXPECT_EQ(outcome.end.authentication, Authentication::kMd5);
  EXPECT_EQ(outcome.phases,
            (std::vector<Phase>{Phase::kInvitation, Phase::kAuthentication,
                                Phase::kWaitingForDevice, Phase::kTransfer, Phase::kFinalAnswer}));
}

// Devices in every shape the protocol meets: honest ones whose
// acknowledgements arrive split or glued, and ones that end the run their
// own way, each with the outcome it owes and the phase the run ended in.
TEST_F(UpdateProtocol, DevicesOfEveryShape) {
  using S = Script;
  struct Case {
    const char* name;
    size_t size;
    Script script;
    std::vector<WriteOutcome> outcomes;  // any of these
    Phase last = Phase::kFinalAnswer;
    int stallMs = 3000;
    std::vector<int> progress = {};  // empty: not checked
  };
  const WriteOutcome ok = Ended(WriteResult::kSuccess);
  const WriteOutcome reset = Network(errors::kConnectionReset, WriteCause::kTransferBroken),
                     noConnection =
                         Explained(Ended(WriteResult::kNoConnection), WriteCause::kNeverConnected);
  using C = WriteCause;
  const Phase transfer = Phase::kTransfer, final = Phase::kFinalAnswer,
              auth = Phase::kAuthentication;
  // clang-format off
  const Case cases[] = {
      {"final OK glued to the last count", 3000, {}, {ok}, final, 3000, {34, 68, 100}},
      {"more counts than chunks", 3000, {.piece = 300}, {ok}},
      {"final OK in place of the last count", 2000, {.acks = S::kOkInPlace}, {ok}},
      {"split counts of a whole image", 64 * 1024, {.piece = 600}, {ok}},
      {"final error word, then close", 1024,
       {.acks = S::kCounts, .end = S::kSendClose, .words = "ERROR[7]: bad image"},
       {Device(C::kFinalWords, "ERROR[7]: bad image")}},
      {"final error line while staying connected", 1500,
       {.acks = S::kCounts, .end = S::kSend, .words = "MD5 Check Failed\r\n"},
       {Device(C::kFinalWords, "MD5 Check Failed")}, final,
       60000},
      {"hang-up without the last acknowledgement", 3000,
       {.take = 2048, .acks = S::kLastUnacked, .end = S::kClose}, {reset}, transfer, 3000, {34}},
      {"hang-up before the last chunk", 3000,
       {.take = 2048, .acks = S::kCounts, .end = S::kClose}, {reset}, transfer},
      {"reset in the middle of the transfer", 4096,
       {.take = 1024, .acks = S::kCounts, .end = S::kReset},
       {reset, Network(errors::kBrokenPipe, C::kTransferBroken),
        Network(errors::kConnectionAborted, C::kTransferBroken)}, transfer,
       3000, {25}},
      {"reset instead of the final answer", 1024, {.acks = S::kCounts, .end = S::kReset}, {reset}},
      {"silence after the last chunk", 1024, {.acks = S::kCounts},
       {Network(errors::kTimedOut, C::kTransferBroken)}, final,
       300},
      {"answers OK and never connects", 1024, {.connect = false}, {noConnection},
       Phase::kWaitingForDevice},
      {"unknown answer", 1024, {.answer = "ERR"}, {Device(C::kBadAnswer, "ERR")},
       Phase::kInvitation},
      {"a nonce of another length", 1024, {.answer = kAuth + "0"},
       {Device(C::kBadAnswer, kAuth + "0")}, Phase::kInvitation},
      // too long for the writer: counts as missing, and the next goes unanswered
      {"over-long answer", 1024, {.answer = "OK" + std::string(300, ' ')},
       {Device(C::kNoAnswer)}, Phase::kInvitation},
      {"over-long authentication reply", 1024,
       {.answer = kAuth, .authReply = "OK" + std::string(31, ' ')}, {Network(errors::kMessageTooLong)}, auth},
      {"refused authentication", 1024, {.answer = kAuth, .authReply = "FAIL"},
       {Device(C::kPasswordRefused)}, auth},
      {"no authentication reply", 1024, {.answer = kAuth},
       {Network(errors::kTimedOut, C::kNoAuthReply)}, auth},
      // words in place of a count, in two sends, then a close
      {"refusal of the image after 4 KiB", 8192,
       {.take = 4096, .acks = S::kRefusal, .end = S::kSendClose, .words = "\r\n"},
       {Device(C::kImageRefused, "Wrong Magic Byte")}, transfer, 3000, {12, 25, 37}},
  };
  // clang-format on
  // One fixed listener port for every case, as for a batch of writes: the
  // connections of the cases before, lingering in TIME_WAIT, must not refuse it.
  request_.listenerPort = static_cast<uint16_t>(port_ + 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UseImage(c.size);
    Play(c.script);
    UpdateLimits limits = TestLimits();
    limits.stallMs = c.stallMs;
    limits.connectWaitMs = 500;
    limits.answerWaitMs = 500;
    const Outcome outcome = Run(limits);
    EXPECT_NE(std::find(c.outcomes.begin(), c.outcomes.end(), End(outcome.end)), c.outcomes.end())
        << static_cast<int>(outcome.end.result) << "/" << outcome.end.systemError << "/"
        << CauseName(outcome.end.cause) << "/" << outcome.end.deviceWords << "\n"
        << outcome.log;
    ASSERT_FALSE(outcome.phases.empty());
    EXPECT_EQ(outcome.phases.back(), c.last);
    if (outcome.end.cause == WriteCause::kBadAnswer) {
      EXPECT_EQ(invitations_.size(), 1u);  // at once, without a second invitation
    }
    if (outcome.end.succeeded()) {
      EXPECT_EQ(received_, image_);
      EXPECT_EQ(outcome.progress.back(), 100);
    }
    if (!c.progress.empty()) {
      EXPECT_EQ(outcome.progress, c.progress);
    }
  }
}

// A 64-digit nonce: SHA-256 of the password first; after a refusal or
// silence a second, identical invitation and the MD5 of the password. The
// last reply decides; an MD5 challenge gets one try.
TEST_F(UpdateProtocol, Sha256ChallengeFallsBackToTheMd5OfThePassword) {
  const std::string sha = "AUTH " + std::string(kNonce) + kNonce;
  const std::string other = "AUTH " + std::string(64, 'e');
  struct Case {
    const char* name;
    Script script;
    WriteOutcome end;
    Authentication authentication;
    size_t invitations;
  };
  const WriteOutcome ok = Ended(WriteResult::kSuccess);
  const auto kSha256Md5 = Authentication::kSha256Md5;
  // clang-format off
  const Case cases[] = {
      {"refused, then MD5 accepted",
       {.answer = sha, .authReply = "Authentication Failed", .secondAnswer = other, .secondAuthReply = "OK"},
       ok, kSha256Md5, 2},
      {"silent, then MD5 accepted", {.answer = sha, .secondAnswer = other, .secondAuthReply = "OK"},
       ok, kSha256Md5, 2},
      {"both silent", {.answer = sha, .secondAnswer = other},
       Network(errors::kTimedOut, WriteCause::kNoAuthReply), kSha256Md5, 2},
      {"MD5 refused: no second try", {.answer = kAuth, .authReply = "Authentication Failed"},
       Device(WriteCause::kPasswordRefused), Authentication::kMd5, 1},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UseImage(1500);
    Play(c.script);
    UpdateLimits limits = TestLimits();
    limits.sha256ReplyWaitMs = 300;
    const Outcome outcome = Run(limits);
    EXPECT_EQ(End(outcome.end), c.end) << outcome.log;
    EXPECT_EQ(outcome.end.authentication, c.authentication);
    ASSERT_EQ(invitations_.size(), c.invitations);
    EXPECT_EQ(invitations_.front(), invitations_.back());
    for (const std::string& message : authMessages_)
      EXPECT_EQ(message.size(), c.script.answer == kAuth ? 70u : 134u);
    if (outcome.end.succeeded()) {
      EXPECT_EQ(received_, image_);
    }
  }
}

// A stop ends each long wait: for the answer (no second invitation then),
// for the device's connection, and before the start (nothing sent).
TEST_F(UpdateProtocol, StopEndsTheRunAsCancelled) {
  for (const int where : {0, 1, 2}) {
    SCOPED_TRACE(where);
    UseImage(1024);
    std::atomic<int> invitations{0};
    StopSignal stop;
    if (where == 2) stop.Trigger();
    device_.Start([&](FakeUpdateDevice& device) {
      while (device.ReceiveDatagram(where == 2 ? 200 : 1000)) {
        ++invitations;
        if (where == 0) stop.Trigger();      // while the writer waits for the answer
        if (where == 1) device.Reply("OK");  // and goes no further
      }
    });
    const UpdateLimits limits{60000, 3, 60000, 3000};
    // The wait for the device's connection follows the phase's start at once.
    const Outcome outcome = Run(limits, &stop, [&](Phase phase) {
      if (where == 1 && phase == Phase::kWaitingForDevice) stop.Trigger();
    });
    EXPECT_EQ(outcome.end.result, WriteResult::kCancelled);
    EXPECT_EQ(invitations, where == 2 ? 0 : 1);
  }
}

TEST_F(UpdateProtocol, MalformedDeviceAddressSendsNothing) {
  UseImage(1024);
  request_.deviceAddress = "127.0.0";
  EXPECT_EQ(End(RunWrite(request_, TestLimits()).end), Network(errors::kInvalidArgument));
  EXPECT_FALSE(device_.ReceiveDatagram(100));
}

#ifdef __linux__
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
      const WriteOutcome end = RunUpdate(request_, UpdateHooks{}, TestLimits());
      sent[0] = static_cast<int>(end.result);
      sent[1] = end.systemError;
    }
    _exit(write(report[1], sent, sizeof sent) == sizeof sent ? 0 : 1);
  }
  close(report[1]);
  int got[2] = {-1, -1};
  EXPECT_EQ(read(report[0], got, sizeof got), static_cast<ssize_t>(sizeof got));
  close(report[0]);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(got[0], static_cast<int>(WriteResult::kNetworkError));
  EXPECT_EQ(got[1], EPERM);
  EXPECT_FALSE(device_.ReceiveDatagram(100));
}
#endif

// A stranger flooding the invitation socket with "OK" neither answers in the
// device's name nor stretches the wait (other strangers: sim_test).
TEST_F(UpdateProtocol, StrangersFloodIsIgnored) {
  UseImage(1024);
  std::atomic<bool> runEnded{false};
  std::atomic<int> invitations{0};
  device_.Start([&](FakeUpdateDevice& device) {
    for (int i = 0; i < 500 && !runEnded; ++i) {  // far longer than the run may last
      if (device.ReceiveDatagram(20)) ++invitations;
      if (invitations > 0) device.ReplyAsStranger("127.0.0.77", "OK");
    }
  });
  const Outcome outcome = RunWrite(request_, {300, 2, 3000, 3000});  // two invitations
  runEnded = true;
  device_.Join();
  EXPECT_EQ(End(outcome.end), Device(WriteCause::kNoAnswer));
  EXPECT_EQ(invitations, 2);
}

// The image file gone before anything is sent, or changed after its digest
// was announced: never a success with other bytes than announced, and never
// a hang on a pipe. (What the preflight refuses is its own test's.)
TEST_F(UpdateProtocol, ImageFileFaults) {
  using P = const std::string&;
  struct Case {
    const char* name;
    bool beforeTheRun;  // else after the digest was announced
    void (*change)(P path);
    WriteResult result;
  };
  namespace fs = std::filesystem;
  const WriteResult fileError = WriteResult::kFileError;
  // clang-format off
  const Case cases[] = {
      {"missing", true, [](P p) { fs::remove(p); }, fileError},
#ifndef _WIN32  // the run holds the file open from its start: the announced bytes are sent
      {"removed", false, [](P p) { fs::remove(p); }, WriteResult::kSuccess},
#endif
      {"truncated", false, [](P p) { fs::resize_file(p, 1500); }, fileError},
      {"rewritten", false, [](P p) { std::ofstream(p) << PatternBytes(3000, 99); }, fileError},
      {"grown", false, [](P p) { std::ofstream(p, std::ios::app) << "more"; },
       WriteResult::kSuccess},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = UseImage(3000);
    if (c.beforeTheRun) c.change(path);
    Play({.acks = Script::kCounts, .end = Script::kSendClose, .words = "OK"}, 800);
    const Outcome outcome = Run(TestLimits(), nullptr, [&](Phase phase) {
      if (phase == Phase::kInvitation && !c.beforeTheRun) c.change(path);
    });
    EXPECT_EQ(outcome.end.result, c.result) << outcome.log;
    EXPECT_EQ(invitations_.size(), c.beforeTheRun ? 0u : 1u);
    if (c.result == WriteResult::kSuccess) {
      EXPECT_EQ(received_, image_);
    }
    fs::remove_all(path);
  }
}

}  // namespace
}  // namespace kesto
