#include "update/update_run.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <memory>
#include <new>
#include <optional>

#include "platform/deadline.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/format.h"
#include "platform/socket.h"
#include "platform/stop_signal.h"
#include "update/image_file.h"
#include "update/listener.h"
#include "update/md5.h"
#include "update/result.h"
#include "update/update_answers.h"

namespace kesto {
namespace {

// Receive sizes of the protocol: "AUTH", a separator and a 32-digit nonce;
// the authentication reply; the final answer, read in pieces of 2 bytes.
constexpr size_t kAnswerSize = 37;
constexpr size_t kAuthReplySize = 32;
constexpr size_t kFinalReceiveSize = 2;
// Enough for "OK" behind leftover acknowledgement digits, or for an error
// text such as "MD5 Check Failed\r\n"; a device that talks on is cut off here.
constexpr size_t kFinalAnswerLimit = 64;
constexpr size_t kFinalTextLimit = 4096;

// One write of one image into one device. Every phase either lets the run go
// on (nullopt) or ends it with its outcome, having closed what it opened.
class UpdateRun {
 public:
  UpdateRun(const UpdateRequest& request, const UpdateHooks& hooks, const UpdateLimits& limits)
      : request_(request), hooks_(hooks), limits_(limits) {}

  WriteOutcome Run() {
    if (auto end = ExamineFile()) return *end;
    if (auto end = OpenListener()) return *end;
    if (auto end = Invite()) return *end;
    if (auto end = Authenticate()) return *end;
    if (auto end = AwaitConnection()) return *end;
    if (auto end = Transfer()) return *end;
    return FinalAnswer();
  }

 private:
  void Log(std::string_view piece) const {
    if (hooks_.log) hooks_.log(piece);
  }

  void Enter(UpdatePhase phase) const {
    if (hooks_.phase) hooks_.phase(phase);
  }

  void CloseAll() {
    image_.reset();
    listener_.socket.Close();
    invitation_.Close();
    connection_.Close();
  }

  // Ends the run: everything closed, then the last log line.
  WriteOutcome EndWith(const std::string& logLine, WriteOutcome outcome) {
    CloseAll();
    Log(logLine);
    return outcome;
  }
  WriteOutcome EndWith(const std::string& logLine, WriteResult result) {
    return EndWith(logLine, WriteOutcome{result, 0});
  }

  WriteOutcome EndWithError(int error) {
    return EndWith(Format("ERROR: %d\r\n", error), NetworkFailure(error));
  }

  bool Stopped() const { return hooks_.stop && hooks_.stop->Triggered(); }

  std::optional<WriteOutcome> ExamineFile() {
    Log("まずファイルのMD5を計算する。\r\n");
    // A 64-bit size, so that a huge image is recognised instead of wrapping.
    int fileError = 0;
    const std::optional<int64_t> size = RegularFileSize(request_.firmwarePath, &fileError);
    if (!size) {
      Log("ERROR: Open\r\n");
      return WriteOutcome{WriteResult::kFileError, fileError};
    }
    // The protocol carries the size as a signed 32-bit number, and an empty
    // image is nothing a device could start from.
    if (*size > std::numeric_limits<int32_t>::max() || *size == 0) {
      Log("ERROR: Size\r\n");
      return WriteOutcome{WriteResult::kFileError, 0};
    }
    fileSize_ = static_cast<int32_t>(*size);
    Log(Format("size %d :", fileSize_));
    Md5Digest digest{};
    if (!FileMd5(request_.firmwarePath, digest, static_cast<size_t>(fileSize_))) {
      Log("ERROR: getMD5\r\n");
      return WriteOutcome{WriteResult::kInternalError, 0};
    }
    digestText_ = DigestText(digest);
    Log(Format("file MD5: %s\r\n", digestText_.c_str()));
    return std::nullopt;
  }

  std::optional<WriteOutcome> OpenListener() {
    Log("後で使うTCPサーバソケットをここで起動してポート番号を確定しておく必要がある。\r\n");
    Log("socket :");
    const auto log = [this](std::string_view piece) { Log(piece); };
    if (const int error =
            kesto::OpenListener(request_.localAddress, request_.listenerPort, log, listener_))
      return EndWithError(error);
    Log("ok\r\n");
    localAddress_ = *ParseIpv4(request_.localAddress);
    return std::nullopt;
  }

  std::optional<WriteOutcome> Invite() {
    const auto device = ParseIpv4(request_.deviceAddress);
    // Never let a malformed address turn into a broadcast.
    if (!device) return EndWithError(errors::kInvalidArgument);
    device_ = MakeSocketAddress(*device, request_.devicePort);
    const std::string message = Format("%d %d %d %s\n", 0, static_cast<int>(listener_.port),
                                       fileSize_, digestText_.c_str());

    Enter(UpdatePhase::kInvitation);
    Log("UDPで相手にアクセス。ファームウェアを送るぞ告知。\r\n");
    Log("socket :");
    int error = 0;
    invitation_ = Socket::Open(SOCK_DGRAM, error);
    if (!invitation_.valid()) return EndWithError(error);
    // The device connects back to where the invitation came from, so on a PC
    // with several interfaces it has to leave from the listener's address.
    if ((error = invitation_.Bind(MakeSocketAddress(localAddress_, 0)))) return EndWithError(error);
    Log("ok\r\n");

    const int attempts = std::max(limits_.attempts, 1);
    for (int failed = 0;;) {
      if (Stopped()) return EndWithError(errors::kCanceled);
      Log(Format("sendto message: %s\r\n", message.c_str()));
      const IoResult sent = invitation_.SendTo(message.data(), message.size(), device_);
      if (!sent.ok()) return EndWithError(sent.error);
      Log("recvfrom: ");
      const IoResult answer = ReceiveFromDevice(kAnswerSize);
      if (answer.ok()) {
        answerLength_ = answer.bytes;
        break;
      }
      if (answer.error == errors::kCanceled) return EndWithError(errors::kCanceled);
      Log("no-recv.\r\n");
      if (++failed >= attempts) return EndWith("no-recv error.\r\n", WriteResult::kDeviceError);
    }
    Log("ok.\r\n");
    return std::nullopt;
  }

  // One datagram from the device's address within answerWaitMs. Datagrams
  // from anyone else are dropped and the wait goes on, never past its limit,
  // so a stranger can neither answer in the device's place (and then be
  // handed the image) nor stretch the wait. Only a whole answer names the
  // device's port; an over-long one from the device fails the receive.
  IoResult ReceiveFromDevice(size_t size) {
    const Deadline deadline = Deadline::After(limits_.answerWaitMs);
    for (;;) {
      if (deadline.Passed()) return {0, errors::kTimedOut};
      sockaddr_in sender{};
      const IoResult got = invitation_.ReceiveFrom(answer_.data(), size, &sender,
                                                   deadline.MillisecondsLeft(), hooks_.stop);
      if (!got.ok() && got.error != errors::kMessageTooLong) return got;
      if (sender.sin_addr.s_addr != device_.sin_addr.s_addr) continue;
      if (got.ok()) device_ = sender;
      return got;
    }
  }

  std::optional<WriteOutcome> Authenticate() {
    const std::string answer = DatagramText(answer_.data(), answerLength_);
    const InvitationAnswer kind = ClassifyAnswer(answer);
    if (kind == InvitationAnswer::kAccepted) {
      Log("OKが帰ってきたときはそのまま送る。\r\n");
      return CloseInvitation();
    }
    Log("AUTHが帰ってきたときは認証パスワードをMD5エンコードして他にもいろいろやって送る。\r\n");
    if (kind != InvitationAnswer::kChallenge)
      return EndWith(Format("Bad Answer: %s\r\n", answer.c_str()), WriteResult::kDeviceError);
    Enter(UpdatePhase::kAuthentication);
    Log("recv: \"AUTH\"\r\n");
    const std::string nonce = AnswerNonce(answer);
    AuthenticationInput input;
    input.firmwarePath = request_.firmwarePath;
    input.fileSize = fileSize_;
    input.fileDigest = digestText_;
    input.deviceAddress = request_.deviceAddress;
    input.password = request_.password;
    input.nonce = nonce;
    const std::optional<std::string> message = AuthenticationMessage(input);
    if (!message) return EndWith("ERROR: getMD5\r\n", WriteResult::kInternalError);

    Log("Authenticating...\r\n");
    Log(Format("sendto message: %s\r\n", message->c_str()));
    const IoResult sent = invitation_.SendTo(message->data(), message->size(), device_);
    if (!sent.ok()) return EndWithError(sent.error);
    answer_.fill(0);
    Log("recvfrom: ");
    const IoResult reply = ReceiveFromDevice(kAuthReplySize);
    if (!reply.ok()) return EndWithError(reply.error);
    Log("done: ");
    if (!AuthenticationAccepted(DatagramText(answer_.data(), reply.bytes)))
      return EndWith("FAIL\r\n", WriteResult::kDeviceError);
    Log("OK\r\n");
    return CloseInvitation();
  }

  std::optional<WriteOutcome> CloseInvitation() {
    invitation_.Close();
    Log("ここから書き込み。\r\n");
    return std::nullopt;
  }

  std::optional<WriteOutcome> AwaitConnection() {
    int openError = 0;
    image_ = OpenImageFile(request_.firmwarePath, &openError);
    if (!image_) {
      CloseAll();
      return WriteOutcome{WriteResult::kFileError, openError};
    }
    Enter(UpdatePhase::kWaitingForDevice);
    Log("Waiting for device...\r\n");
    Log("最初に用意していたTCPソケットに対して接続要求が来る。\r\n");
    Log("要求だけでペイロードはないので注意すること。\r\n");

    // Non-blocking, so that a connection withdrawn between poll and accept
    // cannot block the run past its deadline.
    if (const int error = listener_.socket.SetNonBlocking(true)) return EndWithError(error);
    const Deadline deadline = Deadline::After(limits_.connectWaitMs);
    for (;;) {
      // Checked before each wait, so that strangers queueing up cannot keep
      // the loop going past the deadline.
      int error = deadline.Passed()
                      ? errors::kTimedOut
                      : listener_.socket.WaitReadable(deadline.MillisecondsLeft(), hooks_.stop);
      if (error == errors::kTimedOut) {
        listener_.socket.Close();
        image_.reset();
        return WriteOutcome{WriteResult::kNoConnection, 0};
      }
      if (error) return EndWithError(error);
      sockaddr_in peer{};
      Socket accepted = listener_.socket.Accept(&peer, error);
      if (!accepted.valid()) {
        if (errors::IsTransientAcceptError(error)) continue;
        return EndWithError(error);
      }
      // Only the device that answered gets the image; anyone else is hung up on.
      if (peer.sin_addr.s_addr != device_.sin_addr.s_addr) continue;
      connection_ = std::move(accepted);
      return std::nullopt;
    }
  }

  std::optional<WriteOutcome> Transfer() {
    if (!sentDigest_.valid()) return EndWith("ERROR: getMD5\r\n", WriteResult::kInternalError);
    Enter(UpdatePhase::kTransfer);
    Log("接続した。1024バイトずつファームウェアを送信。\r\n");
    int32_t remaining = fileSize_;
    int32_t sent = 0;
    while (remaining != 0) {
      Log(".");
      const int32_t chunk = std::min<int32_t>(remaining, static_cast<int32_t>(kChunkSize));
      remaining -= chunk;
      const auto length = static_cast<size_t>(chunk);
      if (std::fread(answer_.data(), 1, length, image_.get()) != length)
        return EndWith("read error.\r\n", WriteResult::kFileError);
      if (!sentDigest_.Add(answer_.data(), length))
        return EndWith("ERROR: getMD5\r\n", WriteResult::kInternalError);
      // A whole chunk fits the socket's buffer at once; one that takes longer
      // than the stall limit is stalled, however the device trickles it in.
      const IoResult out = connection_.SendAllBefore(answer_.data(), length,
                                                     Deadline::After(limits_.stallMs), hooks_.stop);
      if (!out.ok())
        return EndWith(Format("send error.%d\r\n", out.error), NetworkFailure(out.error));
      // The device acknowledges with the count it took, in decimal, once per
      // read of its own; a chunk it takes in two reads gets two counts. The
      // acknowledgement is not examined, but everything already there is
      // taken, so that such counts do not pile up in front of the final answer.
      const IoResult ack =
          connection_.Receive(answer_.data(), answer_.size(), limits_.stallMs, hooks_.stop);
      if (!ack.ok())
        return EndWith(Format("recv error.%d\r\n", ack.error), NetworkFailure(ack.error));
      // A device that hangs up without acknowledging a chunk has not taken
      // it: while chunks remain, sending on would only race its close; after
      // the last one, its close is no consent (a device that takes the image
      // acknowledges it before it restarts without a word).
      if (ack.bytes == 0)
        return EndWith(Format("recv error.%d\r\n", errors::kConnectionReset),
                       NetworkFailure(errors::kConnectionReset));
      lastAck_.assign(answer_.data(), ack.bytes);
      sent += chunk;
      if (hooks_.progress) hooks_.progress(static_cast<int>(int64_t{sent} * 100 / fileSize_));
    }
    Log("\r\n");
    Log("ファームウェアを送信終了。\r\n");
    return std::nullopt;
  }

  // After the last chunk the device checks the image and says "OK", or names
  // what went wrong. Its words may follow acknowledgement digits in the same
  // read, so the last acknowledgement belongs to the text examined here. The
  // stall limit bounds the whole answer, so a device dripping a byte at a
  // time cannot stretch it.
  WriteOutcome FinalAnswer() {
    Enter(UpdatePhase::kFinalAnswer);
    const Deadline deadline = Deadline::After(limits_.stallMs);
    std::string text = lastAck_;
    bool closed = false;
    // Acknowledgement digits still on their way do not count against the
    // words' limit (a device acknowledging small reads leaves many behind);
    // the whole text has a limit of its own.
    const auto wordsRead = [&text] { return FinalAnswerWords(text).size(); };
    while (!FinalAnswerComplete(text) && wordsRead() < kFinalAnswerLimit &&
           text.size() < kFinalTextLimit) {
      std::array<char, kFinalReceiveSize> piece{};
      const size_t want = std::min(piece.size(), kFinalAnswerLimit - wordsRead());
      const IoResult got =
          deadline.Passed()
              ? IoResult{0, errors::kTimedOut}
              : connection_.Receive(piece.data(), want, deadline.MillisecondsLeft(), hooks_.stop);
      if (!got.ok()) {
        // Words already read explain the failure better than the socket's code.
        if (!FinalAnswerWords(text).empty() && got.error != errors::kCanceled) break;
        return EndWith(Format("recv error.%d\r\n", got.error), NetworkFailure(got.error));
      }
      if (got.bytes == 0) {
        closed = true;
        break;
      }
      text.append(piece.data(), got.bytes);
    }

    const FinalVerdict verdict = ExamineFinalAnswer(text, closed);
    if (!verdict.accepted)
      return EndWith(Format("Bad Answer: %s\r\n", verdict.shown.c_str()),
                     WriteResult::kDeviceError);
    // The file may have changed since its digest was announced; a device
    // that does not check (or restarts without a word) would then hold an
    // image nobody chose. What was sent must be what was announced.
    Md5Digest sent{};
    if (!sentDigest_.Finish(sent)) return EndWith("ERROR: getMD5\r\n", WriteResult::kInternalError);
    if (DigestText(sent) != digestText_) return EndWith("read error.\r\n", WriteResult::kFileError);
    Log("OKの文字列がきたら相手はリセットがかかる。\r\n");
    CloseAll();
    Log("全終了。\r\n");
    return WriteOutcome{};
  }

  const UpdateRequest& request_;
  const UpdateHooks& hooks_;
  const UpdateLimits& limits_;

  int32_t fileSize_ = 0;
  std::string digestText_;
  Ipv4Address localAddress_ = 0;
  sockaddr_in device_{};
  // Holds the device's answers, then each chunk and its acknowledgement.
  std::array<char, kChunkSize> answer_{};
  size_t answerLength_ = 0;
  std::string lastAck_;

  Listener listener_;
  Socket invitation_;
  Socket connection_;
  ImageFile image_;
  Md5Stream sentDigest_;
};

}  // namespace

WriteOutcome RunUpdate(const UpdateRequest& request, const UpdateHooks& hooks,
                       const UpdateLimits& limits) {
  try {
    UpdateRun run(request, hooks, limits);
    return run.Run();
  } catch (const std::bad_alloc&) {
    // Everything the run opened is closed by its owners on the way out.
    return WriteOutcome{WriteResult::kInternalError, errors::kNoMemory};
  }
}

}  // namespace kesto
