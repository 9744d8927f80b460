// The update run against a scripted device: exact log pieces, exact messages,
// and the stream splits a real device produces.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fake_device.h"
#include "platform/errors.h"
#include "platform/format.h"
#include "platform/stop_signal.h"
#include "run_support.h"
#include "support/test_ports.h"
#include "test_files.h"
#include "update/md5.h"
#include "update/result.h"
#include "update/update_run.h"

namespace kesto {
namespace {

using namespace kesto::testing;

using testing::FakeUpdateDevice;
using testing::Outcome;
using testing::ParseInvitationText;
using testing::PatternBytes;
using testing::RunWrite;
using testing::TempDir;
using testing::TestLimits;

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

// Takes the invitation, answers "OK" and connects back; none on a failure.
std::optional<testing::ParsedInvitation> AcceptInvitation(FakeUpdateDevice& device) {
  auto invitation = ParseInvitationText(device.ReceiveDatagram().value_or(""));
  if (!invitation) return std::nullopt;
  device.Reply("OK");
  if (!device.Connect(static_cast<uint16_t>(invitation->port), kDeviceAddress)) return std::nullopt;
  return invitation;
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

  // Answers the invitation with `answer` and takes the image; `ack` shapes
  // the acknowledgements and the final answer.
  void PlainDevice(std::string answer, size_t piece, std::function<std::string(size_t, bool)> ack) {
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

  Outcome Run(const UpdateLimits& limits = TestLimits()) {
    Outcome outcome = RunWrite(request_, limits);
    device_.Join();
    return outcome;
  }

  const uint16_t port_ = kesto::testing::NextTestPorts().update;
  FakeUpdateDevice device_{kDeviceAddress, port_};
  TempDir dir_;
  UpdateRequest request_;
  std::string image_;
  std::vector<std::string> invitations_;
  std::string received_;
  bool closedByWriter_ = false;
};

TEST_F(UpdateProtocol, PlainAnswerLogsEveryStepInOrder) {
  UseImage(1025);
  PlainDevice("OK", 1024,
              [](size_t count, bool last) { return std::to_string(count) + (last ? "OK" : ""); });
  const Outcome outcome = Run();
  ASSERT_EQ(outcome.code, kResultSuccess) << outcome.Log();
  EXPECT_EQ(received_, image_);
  EXPECT_TRUE(closedByWriter_);
  ASSERT_EQ(invitations_.size(), 1u);
  const auto invitation = ParseInvitationText(invitations_[0]);
  ASSERT_TRUE(invitation);
  EXPECT_EQ(invitation->command, 0);
  EXPECT_EQ(invitation->size, 1025);
  EXPECT_EQ(invitation->md5, Md5Hex(image_));
  EXPECT_EQ(invitations_[0], Format("0 %d 1025 %s\n", invitation->port, invitation->md5.c_str()));

  const std::vector<std::string> expected = {
      "まずファイルのMD5を計算する。\r\n",
      "size 1025 :",
      "file MD5: " + invitation->md5 + "\r\n",
      "後で使うTCPサーバソケットをここで起動してポート番号を確定しておく必要がある。\r\n",
      "socket :",
      "ok\r\n",
      "bind \"127.0.0.1\":",
      "ok\r\n",
      "getsockname :",
      Format("ok: localPort = %d\r\n", invitation->port),
      "listen :",
      "ok\r\n",
      "UDPで相手にアクセス。ファームウェアを送るぞ告知。\r\n",
      "socket :",
      "ok\r\n",
      "sendto message: " + invitations_[0] + "\r\n",
      "recvfrom: ",
      "ok.\r\n",
      "OKが帰ってきたときはそのまま送る。\r\n",
      "ここから書き込み。\r\n",
      "Waiting for device...\r\n",
      "最初に用意していたTCPソケットに対して接続要求が来る。\r\n",
      "要求だけでペイロードはないので注意すること。\r\n",
      "接続した。1024バイトずつファームウェアを送信。\r\n",
      ".",
      ".",
      "\r\n",
      "ファームウェアを送信終了。\r\n",
      "OKの文字列がきたら相手はリセットがかかる。\r\n",
      "全終了。\r\n",
  };
  EXPECT_EQ(outcome.pieces, expected);
  EXPECT_EQ(outcome.progress, (std::vector<int>{99, 100}));
}

TEST_F(UpdateProtocol, AuthenticatesWithTheDigestsOfPasswordNonceAndCnonce) {
  UseImage(2048);
  request_.password = "PELICANUS";
  std::string authMessage;
  device_.Start([&](FakeUpdateDevice& device) {
    const auto text = device.ReceiveDatagram();
    if (!text) return;
    const auto invitation = ParseInvitationText(*text);
    if (!invitation) return;
    device.Reply(std::string("AUTH ") + kNonce);
    const auto auth = device.ReceiveDatagram();
    if (!auth) return;
    authMessage = *auth;
    const std::string cnonce =
        Md5Hex(request_.firmwarePath + "2048" + invitation->md5 + kDeviceAddress);
    const std::string response = Md5Hex(Md5Hex("PELICANUS") + ":" + kNonce + ":" + cnonce);
    if (authMessage != "200 " + cnonce + " " + response + "\n") {
      device.Reply("FAIL");
      return;
    }
    device.Reply("OK");
    if (!device.Connect(static_cast<uint16_t>(invitation->port), kDeviceAddress)) return;
    if (auto got = device.TakeImage(2048, 1024, CountAck)) received_ = *got;
    device.Send("OK");
    closedByWriter_ = device.AwaitClose();
  });
  const Outcome outcome = Run();
  ASSERT_EQ(outcome.code, kResultSuccess) << outcome.Log();
  EXPECT_EQ(authMessage.size(), 70u);
  EXPECT_EQ(received_, image_);

  const std::vector<std::string> expected = {
      "AUTHが帰ってきたときは認証パスワードをMD5エンコードして他にもいろいろやって送る。\r\n",
      "recv: \"AUTH\"\r\n",
      "Authenticating...\r\n",
      "sendto message: " + authMessage + "\r\n",
      "recvfrom: ",
      "done: ",
      "OK\r\n",
      "ここから書き込み。\r\n",
  };
  const auto from = std::find(outcome.pieces.begin(), outcome.pieces.end(), expected[0]);
  ASSERT_NE(from, outcome.pieces.end()) << outcome.Log();
  EXPECT_EQ(std::vector<std::string>(from, from + static_cast<long>(expected.size())), expected);
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
           // one segment: "952OK"
           Case{"FinalOkGluedToTheLastAcknowledgement", 3000, 1024, false, {34, 68, 100}},
           // more digits than reads per chunk; the "OK" comes behind leftovers
           Case{"AcknowledgementsOfSmallerPieces", 3000, 300, false, {}},
           // the last acknowledgement read may already hold the answer
           Case{"FinalOkInPlaceOfTheLastAcknowledgement", 2000, 1024, true, {}},
           // the counts must not pile up in front of the "OK" over a long image
           Case{"SplitAcknowledgementsOfAWholeImage", 64 * 1024, 600, false, {}},
       }) {
    SCOPED_TRACE(c.name);
    UseImage(c.size);
    received_.clear();
    PlainDevice("OK", c.piece, [okInPlace = c.okInPlace](size_t count, bool last) {
      if (okInPlace && last) return std::string("OK");
      return std::to_string(count) + (last ? "OK" : "");
    });
    UpdateLimits limits = TestLimits();
    limits.stallMs = 5000;  // with the "OK" in place nothing more comes; it must do
    const Outcome outcome = Run(limits);
    EXPECT_EQ(outcome.code, kResultSuccess) << outcome.Log();
    EXPECT_EQ(received_, image_);
    ASSERT_FALSE(outcome.progress.empty());
    EXPECT_EQ(outcome.progress.back(), 100);
    if (!c.progress.empty()) {
      EXPECT_EQ(outcome.progress, c.progress);
      EXPECT_EQ(outcome.Count("."), c.progress.size());
    }
  }
}

TEST_F(UpdateProtocol, FinalErrorLineIsABadAnswerEvenWhileTheDeviceStaysConnected) {
  UseImage(1500);
  PlainDevice("OK", 1024, [](size_t count, bool last) {
    return std::to_string(count) + (last ? "MD5 Check Failed\r\n" : "");
  });
  UpdateLimits limits = TestLimits();
  limits.stallMs = 60000;  // the answer's line end, not a time limit, ends the wait
  const Outcome outcome = Run(limits);
  EXPECT_EQ(outcome.code, kResultDeviceError);
  EXPECT_EQ(outcome.pieces.back(), "Bad Answer: MD5 Check Failed\r\n");
  EXPECT_FALSE(outcome.Logged("全終了。\r\n"));
  EXPECT_TRUE(closedByWriter_);
}

// Devices that take (part of) the image and then end the transfer their own
// way: each is no success, with its own code and last log line ("%d" stands
// for the code).
TEST_F(UpdateProtocol, DeviceEndingTheTransferBadlyIsNoSuccess) {
  struct Case {
    const char* name;
    size_t size;
    size_t taken;       // bytes the device reads before it acts
    bool ackLastChunk;  // whether the last chunk it reads is acknowledged
    void (*then)(FakeUpdateDevice&);
    int stallMs;
    std::vector<int> codes;          // any of these
    std::vector<std::string> lasts;  // any of these
    std::vector<int> progress;       // empty: not checked
  };
  const int reset = errors::kConnectionReset;
  for (const Case& c : {
           Case{"FinalErrorWordThenClose",
                1024,
                1024,
                true,
                [](FakeUpdateDevice& device) {
                  device.Send("ERROR[7]: bad image");
                  device.CloseConnection();
                },
                3000,
                {kResultDeviceError},
                {"Bad Answer: ERROR[7]: bad image\r\n"},
                {}},
           Case{"DeviceHangingUpBeforeTheLastChunk",
                3000,
                2048,
                false,
                [](FakeUpdateDevice& device) { device.CloseConnection(); },
                3000,
                {reset},
                {"recv error.%d\r\n"},
                {34}},
           // it acknowledged two chunks and hangs up before it read the last:
           // its close after the last chunk was sent is no consent
           Case{"HangUpWithoutAcknowledgingTheLastChunk",
                3000,
                2048,
                true,
                [](FakeUpdateDevice& device) { device.CloseConnection(); },
                3000,
                {reset},
                {"recv error.%d\r\n"},
                {}},
           Case{"ResetInTheMiddleOfTheTransfer",
                4096,
                1024,
                true,
                [](FakeUpdateDevice& device) { device.ResetConnection(); },
                3000,
                {reset, errors::kBrokenPipe},
                {"send error.%d\r\n", "recv error.%d\r\n"},
                {25}},
           Case{"ResetInsteadOfTheFinalAnswer",
                1024,
                1024,
                true,
                [](FakeUpdateDevice& device) { device.ResetConnection(); },
                3000,
                {reset},
                {"recv error.%d\r\n"},
                {}},
           Case{"SilenceAfterTheLastChunkEndsWithTheTimeOut",
                1024,
                1024,
                true,
                [](FakeUpdateDevice& device) { EXPECT_TRUE(device.AwaitClose()); },
                300,
                {errors::kTimedOut},
                {"recv error.%d\r\n"},
                {}},
       }) {
    SCOPED_TRACE(c.name);
    UseImage(c.size);
    device_.Start([&c](FakeUpdateDevice& device) {
      if (!AcceptInvitation(device)) return;
      device.TakeImage(c.taken, 1024, [&c](size_t count, bool last) {
        return last && !c.ackLastChunk ? std::string() : std::to_string(count);
      });
      c.then(device);
    });
    UpdateLimits limits = TestLimits();
    limits.stallMs = c.stallMs;
    const Outcome outcome = Run(limits);
    EXPECT_NE(std::find(c.codes.begin(), c.codes.end(), outcome.code), c.codes.end())
        << outcome.code << "\n"
        << outcome.Log();
    std::vector<std::string> lasts;
    for (std::string last : c.lasts) {
      if (const size_t at = last.find("%d"); at != std::string::npos)
        last.replace(at, 2, std::to_string(outcome.code));
      lasts.push_back(last);
    }
    ASSERT_FALSE(outcome.pieces.empty());
    EXPECT_NE(std::find(lasts.begin(), lasts.end(), outcome.pieces.back()), lasts.end())
        << outcome.pieces.back();
    EXPECT_FALSE(outcome.Logged("全終了。\r\n"));
    if (!c.progress.empty()) {
      EXPECT_EQ(outcome.progress, c.progress);
    }
  }
}

TEST_F(UpdateProtocol, OverLongAnswerCountsAsMissing) {
  UseImage(1024);
  device_.Start([this](FakeUpdateDevice& device) {
    const auto first = device.ReceiveDatagram();
    if (!first) return;
    invitations_.push_back(*first);
    device.Reply(std::string("AUTH ") + kNonce + "X");  // 38 bytes
    const auto second = device.ReceiveDatagram();
    if (!second) return;
    invitations_.push_back(*second);
    device.Reply("OK");
    const auto invitation = ParseInvitationText(*second);
    if (!invitation || !device.Connect(static_cast<uint16_t>(invitation->port), kDeviceAddress))
      return;
    if (auto got = device.TakeImage(1024, 1024, CountAck)) received_ = *got;
    device.Send("OK");
    device.AwaitClose();
  });
  const Outcome outcome = Run();
  EXPECT_EQ(outcome.code, kResultSuccess) << outcome.Log();
  EXPECT_EQ(outcome.Count("no-recv.\r\n"), 1u);
  ASSERT_EQ(invitations_.size(), 2u);
  EXPECT_EQ(invitations_[0], invitations_[1]);
  EXPECT_EQ(received_, image_);
}

TEST_F(UpdateProtocol, OverLongAuthenticationReplyIsAFailedReceive) {
  UseImage(1024);
  request_.password = "PELICANUS";
  device_.Start([](FakeUpdateDevice& device) {
    if (!device.ReceiveDatagram()) return;
    device.Reply(std::string("AUTH ") + kNonce);
    if (!device.ReceiveDatagram()) return;
    device.Reply("OK" + std::string(31, ' '));  // 33 bytes
  });
  const Outcome outcome = Run();
  EXPECT_EQ(outcome.code, errors::kMessageTooLong);
  EXPECT_EQ(outcome.pieces.back(), Format("ERROR: %d\r\n", errors::kMessageTooLong));
}

// The device connects back to where the invitation came from, which must be
// the chosen local address (the listener's), not whatever the routing picks.
TEST_F(UpdateProtocol, InvitationLeavesFromTheLocalAddress) {
  UseImage(1024);
  request_.localAddress = "127.0.0.9";
  PlainDevice("OK", 1024,
              [](size_t count, bool last) { return std::to_string(count) + (last ? "OK" : ""); });
  const Outcome outcome = Run();
  EXPECT_EQ(Ipv4Text(device_.lastSender().sin_addr.s_addr), "127.0.0.9");
  EXPECT_EQ(outcome.code, kResultSuccess) << outcome.Log();
  EXPECT_EQ(received_, image_);
}

// A stop ends each long wait of the run: for the answer (no second
// invitation then) and for the device's connection.
TEST_F(UpdateProtocol, StopEndsAWaitForTheAnswerOrTheConnection) {
  for (const bool answers : {false, true}) {
    SCOPED_TRACE(answers ? "waiting for the connection" : "waiting for the answer");
    UseImage(1024);
    device_.Start([answers](FakeUpdateDevice& device) {
      if (device.ReceiveDatagram() && answers) device.Reply("OK");  // and goes no further
    });
    StopSignal stop;
    std::thread stopper;
    UpdateLimits limits = TestLimits();
    limits.answerWaitMs = 60000;
    limits.connectWaitMs = 60000;
    const std::string waitPiece = answers ? "Waiting for device...\r\n" : "recvfrom: ";
    const Outcome outcome = RunWrite(request_, limits, &stop, [&](std::string_view piece) {
      if (piece == waitPiece && !stopper.joinable())
        stopper = std::thread([&] {
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
          stop.Trigger();
        });
    });
    if (stopper.joinable()) stopper.join();
    device_.Join();
    EXPECT_EQ(outcome.code, errors::kCanceled);
    EXPECT_EQ(std::count_if(outcome.pieces.begin(), outcome.pieces.end(),
                            [](const std::string& piece) { return piece.starts_with("sendto"); }),
              1);
    EXPECT_FALSE(outcome.Logged("no-recv.\r\n"));
  }
}

TEST_F(UpdateProtocol, StopBeforeTheStartSendsNothing) {
  UseImage(1024);
  StopSignal stop;
  stop.Trigger();
  const Outcome outcome = RunWrite(request_, TestLimits(), &stop);
  EXPECT_EQ(outcome.code, errors::kCanceled);
  for (const std::string& piece : outcome.pieces) EXPECT_FALSE(piece.starts_with("sendto"));
  EXPECT_FALSE(device_.ReceiveDatagram(100).has_value());
}

TEST_F(UpdateProtocol, MalformedDeviceAddressSendsNothing) {
  UseImage(1024);
  request_.deviceAddress = "127.0.0";
  const Outcome outcome = RunWrite(request_, TestLimits());
  EXPECT_EQ(outcome.code, errors::kInvalidArgument);
  EXPECT_EQ(outcome.pieces.back(), Format("ERROR: %d\r\n", errors::kInvalidArgument));
  for (const std::string& piece : outcome.pieces) EXPECT_FALSE(piece.starts_with("sendto"));
}

TEST_F(UpdateProtocol, ImageBeyondTheSignedSizeIsAFileErrorBeforeAnythingIsSent) {
  request_.firmwarePath = dir_.Write("KS_N_huge.bin", "");
  // Sparse: no disk space is taken and nothing is ever read.
  std::filesystem::resize_file(request_.firmwarePath, uintmax_t{INT32_MAX} + 1);
  const Outcome outcome = RunWrite(request_, TestLimits());
  EXPECT_EQ(outcome.code, kResultFileError);
  EXPECT_EQ(outcome.pieces,
            (std::vector<std::string>{"まずファイルのMD5を計算する。\r\n", "ERROR: Size\r\n"}));
}

// --- Hostile and odd devices: every wait ends within its bound ---

// Each byte comes well within the stall limit; the limit bounds the whole
// answer, so the "OK" at the end of the drip comes too late.
TEST_F(UpdateProtocol, DrippedFinalAnswerIsBoundedByTheStallLimit) {
  UseImage(1024);
  device_.Start([this](FakeUpdateDevice& device) {
    if (!AcceptInvitation(device)) return;
    device.TakeImage(1024, 1024, CountAck);
    device.Drip("................OK", 100);
  });
  UpdateLimits limits = TestLimits();
  limits.stallMs = 500;
  const Outcome outcome = Run(limits);
  EXPECT_EQ(outcome.code, kResultDeviceError);
  EXPECT_TRUE(outcome.pieces.back().starts_with("Bad Answer: .")) << outcome.pieces.back();
  EXPECT_FALSE(outcome.Logged("全終了。\r\n"));
}

// A stranger connecting first is hung up on; an "OK" it sends before the
// device's must neither stand in for the device's answer nor win it the image.
TEST_F(UpdateProtocol, StrangersAnswerIsIgnoredAndGetsNoImage) {
  for (const bool strangerAnswers : {false, true}) {
    SCOPED_TRACE(strangerAnswers ? "stranger answers and connects" : "stranger connects");
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
    EXPECT_EQ(outcome.code, kResultSuccess) << outcome.Log();
    ASSERT_TRUE(strangerGot.has_value());
    EXPECT_EQ(*strangerGot, "");
    EXPECT_EQ(received_, image_);
  }
}

TEST_F(UpdateProtocol, StrangersAuthenticationReplyIsIgnored) {
  UseImage(1024);
  device_.Start([](FakeUpdateDevice& device) {
    if (!device.ReceiveDatagram()) return;
    device.Reply(std::string("AUTH ") + kNonce);
    if (!device.ReceiveDatagram()) return;  // the authentication message
    device.ReplyAsStranger("127.0.0.77", "OK");
    device.Reply("FAIL");
  });
  const Outcome outcome = Run();
  EXPECT_EQ(outcome.code, kResultDeviceError);
  EXPECT_EQ(outcome.pieces.back(), "FAIL\r\n");
}

// A stranger flooding the invitation socket neither answers for the device
// nor keeps the wait going: the device's silence ends the run as usual.
TEST_F(UpdateProtocol, StrangersFloodNeitherAnswersNorStretchesTheWait) {
  UseImage(1024);
  std::atomic<bool> runEnded{false};
  std::atomic<bool> floodFinished{false};
  device_.Start([&](FakeUpdateDevice& device) {
    if (!device.ReceiveDatagram()) return;
    // Bounded, but far longer than the run may last.
    for (int i = 0; i < 500 && !runEnded; ++i) {
      device.ReplyAsStranger("127.0.0.77", "OK");
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    floodFinished = !runEnded;
  });
  UpdateLimits limits = TestLimits();
  limits.answerWaitMs = 300;
  limits.attempts = 2;
  const Outcome outcome = RunWrite(request_, limits);
  runEnded = true;
  device_.Join();
  EXPECT_EQ(outcome.code, kResultDeviceError);
  EXPECT_EQ(outcome.pieces.back(), "no-recv error.\r\n");
  EXPECT_EQ(outcome.Count("no-recv.\r\n"), 2u);
  EXPECT_FALSE(floodFinished) << "the run must end while the flood goes on";
}

// --- The image file changing under the run ---

// Other bytes of the same size after the digest was announced: a device that
// takes them without a check must not turn them into a success.
TEST_F(UpdateProtocol, ImageRewrittenAfterItsDigestIsNoSuccess) {
  for (const std::string& final : {std::string("OK"), std::string()}) {  // "OK", silent close
    UseImage(3000);
    device_.Start([&](FakeUpdateDevice& device) {
      if (!AcceptInvitation(device)) return;
      if (auto got = device.TakeImage(3000, 1024, CountAck)) received_ = *got;
      device.Send(final);
      device.CloseConnection();
    });
    const std::string other = PatternBytes(3000, 99);
    const Outcome outcome = RunWrite(request_, TestLimits(), nullptr, [&](std::string_view piece) {
      if (piece == "ここから書き込み。\r\n") dir_.Write("KS_N_image.bin", other);
    });
    device_.Join();
    EXPECT_EQ(outcome.code, kResultFileError) << outcome.Log();
    EXPECT_EQ(outcome.pieces.back(), "read error.\r\n");
    EXPECT_EQ(received_, other) << "the device got the file as it was at the transfer";
  }
}

}  // namespace
}  // namespace kesto
