#include "update/update_run.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <new>
#include <optional>

#include "platform/deadline.h"
#include "platform/errors.h"
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

// Receive sizes of the protocol: the invitation's answer, whole ("AUTH", a
// separator and a nonce of 32 or 64 digits, with room to spare so that any
// other length is seen as such); the authentication reply; the final answer,
// read in pieces of 2 bytes.
constexpr size_t kAnswerSize = 256;
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
  UpdateRun(const UpdateRequest& request, const UpdateHooks& hooks, const UpdateLimits& limits,
            Listener listener)
      : request_(request), hooks_(hooks), limits_(limits), listener_(std::move(listener)) {}

  WriteOutcome Run() {
    WriteOutcome outcome = Steps();
    outcome.authentication = authentication_;
    return outcome;
  }

 private:
  WriteOutcome Steps() {
    if (auto end = OpenImage()) return *end;
    if (auto end = OpenListener()) return *end;
    if (auto end = Invite()) return *end;
    if (auto end = Authenticate()) return *end;
    if (auto end = AwaitConnection()) return *end;
    if (auto end = Transfer()) return *end;
    return FinalAnswer();
  }
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
  WriteOutcome EndWith(const std::string& logLine, WriteResult result,
                       WriteCause cause = WriteCause::kNone, std::string words = {}) {
    return EndWith(logLine, Explained(WriteOutcome{result, 0}, cause, std::move(words)));
  }

  WriteOutcome EndWithError(int error, WriteCause cause = WriteCause::kNone) {
    return EndWith(Format("ERROR: %d\r\n", error), Explained(NetworkFailure(error), cause));
  }

  // A cancellation needs no cause.
  static WriteOutcome Explained(WriteOutcome outcome, WriteCause cause, std::string words = {}) {
    if (outcome.result != WriteResult::kCancelled) {
      outcome.cause = cause;
      outcome.deviceWords = std::move(words);
    }
    return outcome;
  }

  WriteOutcome TransferBroken(const char* format, int error) {
    return EndWith(Format(format, error),
                   Explained(NetworkFailure(error), WriteCause::kTransferBroken));
  }

  bool Stopped() const { return hooks_.stop && hooks_.stop->Triggered(); }

  // The image as prepared, opened for the transfer before anything is sent.
  std::optional<WriteOutcome> OpenImage() {
    Log("まずファイルのMD5を計算する。\r\n");
    const PreparedImage& prepared = request_.image;
    Result<ImageFile> opened = OpenImageFile(prepared.path);
    if (!opened) {
      Log("ERROR: Open\r\n");
      return WriteOutcome{WriteResult::kFileError, ErrorNumber(opened)};
    }
    image_ = std::move(*opened);
    // An empty image is nothing a device could start from.
    if (prepared.bytes <= 0) return EndWith("ERROR: Size\r\n", WriteResult::kFileError);
    fileSize_ = prepared.bytes;
    digestText_ = prepared.md5;
    Log(Format("size %d :", fileSize_));
    Log(Format("file MD5: %s\r\n", digestText_.c_str()));
    return std::nullopt;
  }

  std::optional<WriteOutcome> OpenListener() {
    Log("後で使うTCPサーバソケットをここで起動してポート番号を確定しておく必要がある。\r\n");
    if (listener_.open()) {
      Log(Format("opened before the write: localPort = %d\r\n", static_cast<int>(listener_.port)));
    } else {
      Log("socket :");
      const auto log = [this](std::string_view piece) { Log(piece); };
      Result<Listener> opened =
          kesto::OpenListener(request_.localAddress, request_.listenerPort, log);
      if (!opened) {  // its log ends with the error already
        CloseAll();
        return NetworkFailure(opened.error().value());
      }
      listener_ = std::move(*opened);
      Log("ok\r\n");
    }
    const auto local = ParseIpv4(request_.localAddress);
    if (!local) return EndWithError(errors::kAddressNotAvailable);
    localAddress_ = *local;
    return std::nullopt;
  }

  std::optional<WriteOutcome> Invite() {
    const auto device = ParseIpv4(request_.deviceAddress);
    // Never let a malformed address turn into a broadcast.
    if (!device) return EndWithError(errors::kInvalidArgument);
    device_ = MakeSocketAddress(*device, request_.devicePort);
    invitationText_ = Format("%d %d %d %s\n", 0, static_cast<int>(listener_.port), fileSize_,
                             digestText_.c_str());

    Enter(UpdatePhase::kInvitation);
    Log("UDPで相手にアクセス。ファームウェアを送るぞ告知。\r\n");
    Log("socket :");
    Result<Socket> opened = Socket::Open(SOCK_DGRAM);
    if (!opened) return EndWithError(opened.error().value());
    invitation_ = std::move(*opened);
    // The device connects back to where the invitation came from, so on a PC
    // with several interfaces it has to leave from the listener's address.
    if (const Result<void> bound = invitation_.Bind(MakeSocketAddress(localAddress_, 0)); !bound)
      return EndWithError(ErrorNumber(bound));
    Log("ok\r\n");
    inviteTo_ = device_;
    return SendInvitation(invitationText_, limits_.attempts);
  }

  // Sends the invitation until the device answers, at most attempts times.
  std::optional<WriteOutcome> SendInvitation(const std::string& message, int attempts) {
    answer_.fill(0);
    for (int failed = 0;;) {
      if (Stopped()) return EndWithError(errors::kCanceled);
      Log(Format("sendto message: %s\r\n", message.c_str()));
      const Result<size_t> sent = invitation_.SendTo(message.data(), message.size(), inviteTo_);
      if (!sent) return EndWithError(ErrorNumber(sent));
      Log("recvfrom: ");
      const Result<size_t> answer = ReceiveFromDevice(kAnswerSize, limits_.answerWaitMs);
      if (answer) {
        answerLength_ = *answer;
        break;
      }
      if (ErrorNumber(answer) == errors::kCanceled) return EndWithError(errors::kCanceled);
      Log("no-recv.\r\n");
      if (++failed >= std::max(attempts, 1))
        return EndWith("no-recv error.\r\n", WriteResult::kDeviceError, WriteCause::kNoAnswer);
    }
    Log("ok.\r\n");
    return std::nullopt;
  }

  // One datagram from the device's address within waitMs. Datagrams
  // from anyone else are dropped and the wait goes on, never past its limit,
  // so a stranger can neither answer in the device's place (and then be
  // handed the image) nor stretch the wait. Only a whole answer names the
  // device's port; an over-long one from the device fails the receive.
  Result<size_t> ReceiveFromDevice(size_t size, int waitMs) {
    const Deadline deadline = Deadline::After(waitMs);
    for (;;) {
      if (deadline.Passed()) return Failure(SocketError(errors::kTimedOut));
      sockaddr_in sender{};
      const Result<size_t> got = invitation_.ReceiveFrom(answer_.data(), size, &sender,
                                                         deadline.MillisecondsLeft(), hooks_.stop);
      if (!got && got.error().value() != errors::kMessageTooLong) return got;
      if (sender.sin_addr.s_addr != device_.sin_addr.s_addr) continue;
      if (got) device_ = sender;
      return got;
    }
  }

  std::optional<WriteOutcome> Authenticate() {
    const std::string answer = DatagramText(answer_.data(), answerLength_);
    const InvitationAnswer kind = ClassifyAnswer(answer);
    if (kind == InvitationAnswer::kAccepted) {
      Log("OKが帰ってきたときはそのまま送る。\r\n");
      authentication_ = Authentication::kNone;
      return CloseInvitation();
    }
    Log("AUTHが帰ってきたときは認証パスワードをMD5エンコードして他にもいろいろやって送る。\r\n");
    const std::optional<ChallengeScheme> scheme =
        kind == InvitationAnswer::kChallenge ? SchemeOfNonce(AnswerNonce(answer)) : std::nullopt;
    if (!scheme) return BadAnswer(answer);
    Enter(UpdatePhase::kAuthentication);
    Log("recv: \"AUTH\"\r\n");
    if (*scheme == ChallengeScheme::kMd5) {
      authentication_ = Authentication::kMd5;
      Log("scheme: MD5\r\n");
      return Conclude(
          Challenge(AnswerNonce(answer), *scheme, StoredPassword::kMd5, limits_.answerWaitMs));
    }
    // Whether the device holds SHA-256 or MD5 of the password cannot be seen
    // from here: SHA-256 first, then, after a refusal or silence, a second
    // invitation (the device is idle again and sets a new nonce) for MD5.
    authentication_ = Authentication::kSha256;
    Log("scheme: SHA256\r\n");
    const ChallengeReply first =
        Challenge(AnswerNonce(answer), *scheme, StoredPassword::kSha256, limits_.sha256ReplyWaitMs);
    if (first.accepted || (first.error != 0 && first.error != errors::kTimedOut))
      return Conclude(first);
    authentication_ = Authentication::kSha256Md5;
    Log("re-invitation: SHA256 with the MD5 of the password\r\n");
    DropQueuedDatagrams();
    if (auto end = SendInvitation(invitationText_, limits_.reinvitations)) return end;
    const std::string again = DatagramText(answer_.data(), answerLength_);
    const std::optional<ChallengeScheme> secondScheme =
        ClassifyAnswer(again) == InvitationAnswer::kChallenge ? SchemeOfNonce(AnswerNonce(again))
                                                              : std::nullopt;
    if (secondScheme != ChallengeScheme::kSha256) return BadAnswer(again);
    Log("recv: \"AUTH\"\r\n");
    return Conclude(Challenge(AnswerNonce(again), ChallengeScheme::kSha256, StoredPassword::kMd5,
                              limits_.sha256ReplyWaitMs));
  }

  // A late reply to the first try must not pass for the answer to the
  // second invitation. Bounded, as a flood could otherwise hold the run here.
  void DropQueuedDatagrams() {
    for (int i = 0; i < 64; ++i) {
      sockaddr_in sender{};
      const Result<size_t> got =
          invitation_.ReceiveFrom(answer_.data(), answer_.size(), &sender, 0, nullptr);
      if (!got && got.error().value() != errors::kMessageTooLong) return;
    }
  }

  WriteOutcome BadAnswer(const std::string& answer) {
    return EndWith(Format("Bad Answer: %s\r\n", answer.c_str()), WriteResult::kDeviceError,
                   WriteCause::kBadAnswer, ShownWords(answer));
  }

  struct ChallengeReply {
    bool accepted = false;
    int error = 0;                    // the reply's socket error; 0 with !accepted: refused
    std::optional<WriteOutcome> end;  // the run ended before a reply could come
  };

  // Answers one challenge and waits for the device's verdict.
  ChallengeReply Challenge(const std::string& nonce, ChallengeScheme scheme, StoredPassword stored,
                           int waitMs) {
    AuthenticationInput input;
    input.firmwarePath = request_.image.path;
    input.fileSize = fileSize_;
    input.fileDigest = digestText_;
    input.deviceAddress = request_.deviceAddress;
    input.password = request_.password;
    input.nonce = nonce;
    input.scheme = scheme;
    input.stored = stored;
    const std::optional<std::string> message = AuthenticationMessage(input);
    if (!message) return {false, 0, EndWith("ERROR: getMD5\r\n", WriteResult::kInternalError)};

    Log("Authenticating...\r\n");
    Log(Format("sendto message: %s\r\n", message->c_str()));
    const Result<size_t> sent = invitation_.SendTo(message->data(), message->size(), device_);
    if (!sent) return {false, 0, EndWithError(ErrorNumber(sent))};
    answer_.fill(0);
    Log("recvfrom: ");
    const Result<size_t> reply = ReceiveFromDevice(kAuthReplySize, waitMs);
    if (!reply) {
      Log(Format("ERROR: %d\r\n", ErrorNumber(reply)));
      return {false, ErrorNumber(reply), std::nullopt};
    }
    Log("done: ");
    const bool accepted = AuthenticationAccepted(DatagramText(answer_.data(), *reply));
    Log(accepted ? "OK\r\n" : "FAIL\r\n");
    return {accepted, 0, std::nullopt};
  }

  // The last try's reply decides.
  std::optional<WriteOutcome> Conclude(const ChallengeReply& reply) {
    if (reply.end) return reply.end;
    if (reply.accepted) return CloseInvitation();
    CloseAll();
    if (reply.error != 0)
      return Explained(NetworkFailure(reply.error), reply.error == errors::kTimedOut
                                                        ? WriteCause::kNoAuthReply
                                                        : WriteCause::kNone);
    return Explained(WriteOutcome{WriteResult::kDeviceError, 0}, WriteCause::kPasswordRefused);
  }

  std::optional<WriteOutcome> CloseInvitation() {
    invitation_.Close();
    Log("ここから書き込み。\r\n");
    return std::nullopt;
  }

  std::optional<WriteOutcome> AwaitConnection() {
    Enter(UpdatePhase::kWaitingForDevice);
    Log("Waiting for device...\r\n");
    Log("最初に用意していたTCPソケットに対して接続要求が来る。\r\n");
    Log("要求だけでペイロードはないので注意すること。\r\n");

    // Non-blocking, so that a connection withdrawn between poll and accept
    // cannot block the run past its deadline.
    const Deadline deadline = Deadline::After(limits_.connectWaitMs);
    for (;;) {
      // Checked before each wait, so that strangers queueing up cannot keep
      // the loop going past the deadline.
      int error = deadline.Passed() ? errors::kTimedOut
                                    : ErrorNumber(listener_.socket.WaitReadable(
                                          deadline.MillisecondsLeft(), hooks_.stop));
      if (error == errors::kTimedOut) {
        listener_.socket.Close();
        image_.reset();
        // Besides a firewall, a device that finds the image larger than its
        // update slot says so only by not connecting.
        return Explained(WriteOutcome{WriteResult::kNoConnection, 0}, WriteCause::kNeverConnected);
      }
      if (error) return EndWithError(error);
      sockaddr_in peer{};
      Result<Socket> accepted = listener_.socket.Accept(&peer);
      if (!accepted) {
        if (errors::IsTransientAcceptError(accepted.error().value())) continue;
        return EndWithError(accepted.error().value());
      }
      // Only the device that answered gets the image; anyone else is hung up on.
      if (peer.sin_addr.s_addr != device_.sin_addr.s_addr) continue;
      connection_ = std::move(*accepted);
      return std::nullopt;
    }
  }

  std::optional<WriteOutcome> Transfer() {
    if (!sentDigest_.Ready()) return EndWith("ERROR: getMD5\r\n", WriteResult::kInternalError);
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
      const Result<size_t> out = connection_.SendAllBefore(
          answer_.data(), length, Deadline::After(limits_.stallMs), hooks_.stop);
      if (!out) return TransferBroken("send error.%d\r\n", ErrorNumber(out));
      // The device acknowledges with the count it took, in decimal, once per
      // read of its own; a chunk it takes in two reads gets two counts. The
      // acknowledgement is not examined, but everything already there is
      // taken, so that such counts do not pile up in front of the final answer.
      const Result<size_t> ack =
          connection_.Receive(answer_.data(), answer_.size(), limits_.stallMs, hooks_.stop);
      if (!ack) return TransferBroken("recv error.%d\r\n", ErrorNumber(ack));
      // A device that hangs up without acknowledging a chunk has not taken
      // it: while chunks remain, sending on would only race its close; after
      // the last one, its close is no consent (a device that takes the image
      // acknowledges it before it restarts without a word).
      if (*ack == 0) return TransferBroken("recv error.%d\r\n", errors::kConnectionReset);
      lastAck_.assign(answer_.data(), *ack);
      // Words instead of a count, before the last chunk, are the device's
      // refusal (an ESP32 checks the image's first byte once its first flash
      // sector fills), and it closes next. After the last chunk they are its
      // final answer.
      if (remaining != 0 && AcknowledgementRefuses(lastAck_)) return Refusal();
      sent += chunk;
      if (hooks_.progress) hooks_.progress(static_cast<int>(int64_t{sent} * 100 / fileSize_));
    }
    Log("\r\n");
    Log("ファームウェアを送信終了。\r\n");
    return std::nullopt;
  }

  // After the last chunk the device checks the image and says "OK", or names
  // what went wrong. Its words may follow acknowledgement digits in the same
  // read, so the last acknowledgement belongs to the text examined here.
  WriteOutcome FinalAnswer() {
    Enter(UpdatePhase::kFinalAnswer);
    std::string text = lastAck_;
    bool closed = false;
    if (auto end = ReadWords(text, closed)) return *end;
    const FinalVerdict verdict = ExamineFinalAnswer(text, closed);
    if (!verdict.accepted)
      return EndWith(Format("Bad Answer: %s\r\n", verdict.shown.c_str()), WriteResult::kDeviceError,
                     WriteCause::kFinalWords, verdict.shown);
    // The file may have changed since its digest was announced; a device
    // that does not check (or restarts without a word) would then hold an
    // image nobody chose. What was sent must be what was announced.
    const Result<Md5Digest> sent = sentDigest_.Finish();
    if (!sent) return EndWith("ERROR: getMD5\r\n", WriteResult::kInternalError);
    if (DigestText(*sent) != digestText_)
      return EndWith("read error.\r\n", WriteResult::kFileError);
    Log("OKの文字列がきたら相手はリセットがかかる。\r\n");
    CloseAll();
    Log("全終了。\r\n");
    return WriteOutcome{};
  }

  // The device's words that began in place of an acknowledgement, read to
  // their line's end (or its close), then the end of the run with them.
  WriteOutcome Refusal() {
    std::string text = lastAck_;
    bool closed = false;
    if (auto end = ReadWords(text, closed)) return *end;
    const std::string words = ShownWords(FinalAnswerWords(text));
    return EndWith(Format("refused: %s\r\n", words.c_str()), WriteResult::kDeviceError,
                   WriteCause::kImageRefused, words);
  }

  // Reads on until text holds "OK" or a whole line of words, the device
  // closes, or the limits are reached. The stall limit bounds the whole
  // answer, so a device dripping a byte at a time cannot stretch it.
  // Acknowledgement digits still on their way do not count against the
  // words' limit (a device acknowledging small reads leaves many behind);
  // the whole text has a limit of its own.
  std::optional<WriteOutcome> ReadWords(std::string& text, bool& closed) {
    const Deadline deadline = Deadline::After(limits_.stallMs);
    const auto wordsRead = [&text] { return FinalAnswerWords(text).size(); };
    while (!FinalAnswerComplete(text) && wordsRead() < kFinalAnswerLimit &&
           text.size() < kFinalTextLimit) {
      std::array<char, kFinalReceiveSize> piece{};
      const size_t want = std::min(piece.size(), kFinalAnswerLimit - wordsRead());
      const Result<size_t> got =
          deadline.Passed()
              ? Failure(SocketError(errors::kTimedOut))
              : connection_.Receive(piece.data(), want, deadline.MillisecondsLeft(), hooks_.stop);
      if (!got) {
        // Words already read explain the failure better than the socket's code.
        if (!FinalAnswerWords(text).empty() && ErrorNumber(got) != errors::kCanceled) break;
        return TransferBroken("recv error.%d\r\n", ErrorNumber(got));
      }
      if (*got == 0) {
        closed = true;
        break;
      }
      text.append(piece.data(), *got);
    }
    return std::nullopt;
  }

  const UpdateRequest& request_;
  const UpdateHooks& hooks_;
  const UpdateLimits& limits_;

  int32_t fileSize_ = 0;
  std::string digestText_;
  Ipv4Address localAddress_ = 0;
  std::string invitationText_;
  sockaddr_in inviteTo_{};  // the device's update port
  sockaddr_in device_{};    // whoever of the device answered last
  Authentication authentication_ = Authentication::kUnknown;
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
                       const UpdateLimits& limits, Listener listener) {
  try {
    UpdateRun run(request, hooks, limits, std::move(listener));
    return run.Run();
  } catch (const std::bad_alloc&) {
    // Everything the run opened is closed by its owners on the way out.
    return WriteOutcome{WriteResult::kInternalError, errors::kNoMemory};
  }
}

}  // namespace kesto
