#include "update/update_run.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>

#include "platform/format.h"
#include "platform/socket.h"
#include "platform/stop_signal.h"
#include "update/md5.h"
#include "update/result.h"

namespace kesto {
namespace {

using Clock = std::chrono::steady_clock;

// Receive sizes of the protocol: "AUTH", a separator and a 32-digit nonce;
// the authentication reply; the final answer, read in pieces of 2 bytes.
constexpr size_t kAnswerSize = 37;
constexpr size_t kAuthReplySize = 32;
constexpr size_t kFinalReceiveSize = 2;
// Enough for "OK" behind leftover acknowledgement digits, or for an error
// text such as "MD5 Check Failed\r\n"; a device that talks on is cut off here.
constexpr size_t kFinalAnswerLimit = 64;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Errors after which a listener may still hand out the next connection.
bool IsTransientAcceptError(int error) {
  switch (error) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
      return true;
    default:
      return false;
  }
}

std::optional<std::string> Md5Text(const std::string& text) {
  Md5Digest digest{};
  if (!StringMd5(text.data(), text.size(), digest)) return std::nullopt;
  return DigestText(digest);
}

// A received datagram as text: its bytes up to the first zero byte.
std::string TextOf(const char* bytes, size_t length) {
  return std::string(bytes, strnlen(bytes, length));
}

// The device's words after the last chunk, without the acknowledgement
// digits that may still stand in front of them.
std::string_view WordsOf(std::string_view text) {
  const size_t start = text.find_first_not_of("0123456789");
  return start == std::string_view::npos ? std::string_view{} : text.substr(start);
}

std::string WithoutLineEnd(std::string_view text) {
  const size_t end = text.find_last_not_of("\r\n");
  return std::string(text.substr(0, end == std::string_view::npos ? 0 : end + 1));
}

int MillisecondsUntil(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(std::min<long long>(left, std::numeric_limits<int>::max()))
                  : 0;
}

// One write of one image into one device. Every phase either lets the run go
// on (nullopt) or ends it with a result code, having closed what it opened.
class UpdateRun {
 public:
  UpdateRun(const UpdateRequest& request, const UpdateHooks& hooks, const UpdateLimits& limits)
      : request_(request), hooks_(hooks), limits_(limits) {}

  int32_t Run() {
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

  void CloseAll() {
    image_.reset();
    listener_.Close();
    invitation_.Close();
    connection_.Close();
  }

  // Ends the run: everything closed, then the last log line.
  int32_t EndWith(const std::string& logLine, int32_t code) {
    CloseAll();
    Log(logLine);
    return code;
  }

  int32_t EndWithError(int error) { return EndWith(Format("ERROR: %d\r\n", error), error); }

  bool Stopped() const { return hooks_.stop && hooks_.stop->Triggered(); }

  std::optional<int32_t> ExamineFile() {
    Log("まずファイルのMD5を計算する。\r\n");
    // 64-bit status, so that a huge image is recognised instead of wrapping.
    struct stat64 status {};
    if (stat64(request_.firmwarePath.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
      Log("ERROR: Open\r\n");
      return kResultFileError;
    }
    // The protocol carries the size as a signed 32-bit number.
    if (status.st_size > std::numeric_limits<int32_t>::max()) {
      Log("ERROR: Size\r\n");
      return kResultFileError;
    }
    fileSize_ = static_cast<int32_t>(status.st_size);
    Log(Format("size %d :", fileSize_));
    Md5Digest digest{};
    if (!FileMd5(request_.firmwarePath, digest, static_cast<size_t>(fileSize_))) {
      Log("ERROR: getMD5\r\n");
      return kResultInternalError;
    }
    digestText_ = DigestText(digest);
    Log(Format("file MD5: %s\r\n", digestText_.c_str()));
    return std::nullopt;
  }

  std::optional<int32_t> OpenListener() {
    Log("後で使うTCPサーバソケットをここで起動してポート番号を確定しておく必要がある。\r\n");
    Log("socket :");
    int error = 0;
    listener_ = Socket::Open(SOCK_STREAM, error);
    if (!listener_.valid()) return EndWithError(error);
    Log("ok\r\n");
    Log(Format("bind \"%s\":", request_.localAddress.c_str()));
    const auto local = ParseIpv4(request_.localAddress);
    if (!local) return EndWithError(EADDRNOTAVAIL);
    localAddress_ = *local;
    if ((error = listener_.Bind(MakeSocketAddress(localAddress_, 0)))) return EndWithError(error);
    Log("ok\r\n");
    Log("getsockname :");
    sockaddr_in bound{};
    if ((error = listener_.LocalAddress(bound))) return EndWithError(error);
    listenerPort_ = ntohs(bound.sin_port);
    Log(Format("ok: localPort = %d\r\n", static_cast<int>(listenerPort_)));
    Log("listen :");
    if ((error = listener_.Listen(1))) return EndWithError(error);
    Log("ok\r\n");
    return std::nullopt;
  }

  std::optional<int32_t> Invite() {
    const auto device = ParseIpv4(request_.deviceAddress);
    // Never let a malformed address turn into a broadcast.
    if (!device) return EndWithError(EINVAL);
    device_ = MakeSocketAddress(*device, request_.devicePort);
    const std::string message =
        Format("%d %d %d %s\n", 0, static_cast<int>(listenerPort_), fileSize_, digestText_.c_str());

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
      if (Stopped()) return EndWithError(ECANCELED);
      Log(Format("sendto message: %s\r\n", message.c_str()));
      const IoResult sent = invitation_.SendTo(message.data(), message.size(), device_);
      if (!sent.ok()) return EndWithError(sent.error);
      Log("recvfrom: ");
      sockaddr_in sender{};
      const IoResult answer = invitation_.ReceiveFrom(answer_.data(), kAnswerSize, &sender,
                                                      limits_.answerWaitMs, hooks_.stop);
      if (answer.ok()) {
        // Only a whole answer names the device; a refused datagram's sender is not taken.
        device_ = sender;
        answerLength_ = answer.bytes;
        break;
      }
      if (answer.error == ECANCELED) return EndWithError(ECANCELED);
      Log("no-recv.\r\n");
      if (++failed >= attempts) return EndWith("no-recv error.\r\n", kResultDeviceError);
    }
    Log("ok.\r\n");
    return std::nullopt;
  }

  std::optional<int32_t> Authenticate() {
    const std::string answer = TextOf(answer_.data(), answerLength_);
    if (answer.starts_with("OK")) {
      Log("OKが帰ってきたときはそのまま送る。\r\n");
      return CloseInvitation();
    }
    Log("AUTHが帰ってきたときは認証パスワードをMD5エンコードして他にもいろいろやって送る。\r\n");
    if (!answer.starts_with("AUTH"))
      return EndWith(Format("Bad Answer: %s\r\n", answer.c_str()), kResultDeviceError);
    Log("recv: \"AUTH\"\r\n");
    const std::string nonce = answer.size() > 5 ? answer.substr(5) : std::string();
    const auto cnonce =
        Md5Text(Format("%s%u%s%s", request_.firmwarePath.c_str(), static_cast<unsigned>(fileSize_),
                       digestText_.c_str(), request_.deviceAddress.c_str()));
    const auto passwordDigest = Md5Text(request_.password);
    if (!cnonce || !passwordDigest) return EndWithDigestFailure();
    const auto response =
        Md5Text(Format("%s:%s:%s", passwordDigest->c_str(), nonce.c_str(), cnonce->c_str()));
    if (!response) return EndWithDigestFailure();
    const std::string message = Format("%d %s %s\n", 200, cnonce->c_str(), response->c_str());

    Log("Authenticating...\r\n");
    Log(Format("sendto message: %s\r\n", message.c_str()));
    const IoResult sent = invitation_.SendTo(message.data(), message.size(), device_);
    if (!sent.ok()) return EndWithError(sent.error);
    answer_.fill(0);
    Log("recvfrom: ");
    sockaddr_in sender{};
    const IoResult reply = invitation_.ReceiveFrom(answer_.data(), kAuthReplySize, &sender,
                                                   limits_.answerWaitMs, hooks_.stop);
    if (!reply.ok()) return EndWithError(reply.error);
    Log("done: ");
    if (!TextOf(answer_.data(), reply.bytes).starts_with("OK"))
      return EndWith("FAIL\r\n", kResultDeviceError);
    Log("OK\r\n");
    return CloseInvitation();
  }

  int32_t EndWithDigestFailure() { return EndWith("ERROR: getMD5\r\n", kResultInternalError); }

  std::optional<int32_t> CloseInvitation() {
    invitation_.Close();
    Log("ここから書き込み。\r\n");
    return std::nullopt;
  }

  std::optional<int32_t> AwaitConnection() {
    image_.reset(std::fopen(request_.firmwarePath.c_str(), "rb"));
    if (!image_) {
      CloseAll();
      return kResultFileError;
    }
    Log("Waiting for device...\r\n");
    Log("最初に用意していたTCPソケットに対して接続要求が来る。\r\n");
    Log("要求だけでペイロードはないので注意すること。\r\n");

    // Non-blocking, so that a connection withdrawn between poll and accept
    // cannot block the run past its deadline.
    const int flags = fcntl(listener_.fd(), F_GETFL, 0);
    if (flags < 0 || fcntl(listener_.fd(), F_SETFL, flags | O_NONBLOCK) < 0)
      return EndWithError(errno);
    const auto deadline = Clock::now() + std::chrono::milliseconds(limits_.connectWaitMs);
    for (;;) {
      int error = listener_.WaitReadable(MillisecondsUntil(deadline), hooks_.stop);
      if (error == ETIMEDOUT) {
        listener_.Close();
        image_.reset();
        return kResultNoConnection;
      }
      if (error) return EndWithError(error);
      sockaddr_in peer{};
      Socket accepted = listener_.Accept(&peer, error);
      if (!accepted.valid()) {
        if (IsTransientAcceptError(error)) continue;
        return EndWithError(error);
      }
      // Only the device that answered gets the image; anyone else is hung up on.
      if (peer.sin_addr.s_addr != device_.sin_addr.s_addr) continue;
      connection_ = std::move(accepted);
      return std::nullopt;
    }
  }

  std::optional<int32_t> Transfer() {
    Log("接続した。1024バイトずつファームウェアを送信。\r\n");
    int32_t remaining = fileSize_;
    int32_t sent = 0;
    while (remaining != 0) {
      Log(".");
      const int32_t chunk = std::min<int32_t>(remaining, static_cast<int32_t>(kChunkSize));
      remaining -= chunk;
      const auto length = static_cast<size_t>(chunk);
      if (std::fread(answer_.data(), 1, length, image_.get()) != length)
        return EndWith("read error.\r\n", kResultFileError);
      const IoResult out =
          connection_.SendAll(answer_.data(), length, limits_.stallMs, hooks_.stop);
      if (!out.ok()) return EndWith(Format("send error.%d\r\n", out.error), out.error);
      // The device acknowledges with the count it took, in decimal.
      const size_t ackSize = Format("%d", chunk).size();
      const IoResult ack =
          connection_.Receive(answer_.data(), ackSize, limits_.stallMs, hooks_.stop);
      if (!ack.ok()) return EndWith(Format("recv error.%d\r\n", ack.error), ack.error);
      // A device that hangs up while chunks remain has not taken the image;
      // sending on would only end in a race between its close and our sends.
      if (ack.bytes == 0 && remaining != 0)
        return EndWith(Format("recv error.%d\r\n", ECONNRESET), ECONNRESET);
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
  // read, so the last acknowledgement belongs to the text examined here.
  int32_t FinalAnswer() {
    std::string text = lastAck_;
    size_t received = 0;
    bool closed = false;
    while (text.find("OK") == std::string::npos && received < kFinalAnswerLimit) {
      const std::string_view words = WordsOf(text);
      if (words.find('\n') != std::string_view::npos) break;  // a whole line without "OK"
      std::array<char, kFinalReceiveSize> piece{};
      const size_t want = std::min(piece.size(), kFinalAnswerLimit - received);
      const IoResult got = connection_.Receive(piece.data(), want, limits_.stallMs, hooks_.stop);
      if (!got.ok()) {
        // Words already read explain the failure better than the socket's code.
        if (!words.empty() && got.error != ECANCELED) break;
        return EndWith(Format("recv error.%d\r\n", got.error), got.error);
      }
      if (got.bytes == 0) {
        closed = true;
        break;
      }
      text.append(piece.data(), got.bytes);
      received += got.bytes;
    }

    const std::string_view words = WordsOf(text);
    // A device may restart right after the last byte without a word.
    const bool accepted = text.find("OK") != std::string::npos || (closed && words.empty());
    if (!accepted) {
      const std::string shown = WithoutLineEnd(words.empty() ? std::string_view(text) : words);
      return EndWith(Format("Bad Answer: %s\r\n", shown.c_str()), kResultDeviceError);
    }
    Log("OKの文字列がきたら相手はリセットがかかる（文字列の内容は確認してないけど）。\r\n");
    image_.reset();
    listener_.Close();
    connection_.Close();
    Log("全終了。\r\n");
    return kResultSuccess;
  }

  const UpdateRequest& request_;
  const UpdateHooks& hooks_;
  const UpdateLimits& limits_;

  int32_t fileSize_ = 0;
  std::string digestText_;
  in_addr_t localAddress_ = 0;
  uint16_t listenerPort_ = 0;
  sockaddr_in device_{};
  // Holds the device's answers, then each chunk and its acknowledgement.
  std::array<char, kChunkSize> answer_{};
  size_t answerLength_ = 0;
  std::string lastAck_;

  Socket listener_;
  Socket invitation_;
  Socket connection_;
  File image_;
};

}  // namespace

int32_t RunUpdate(const UpdateRequest& request, const UpdateHooks& hooks,
                  const UpdateLimits& limits) {
  try {
    UpdateRun run(request, hooks, limits);
    return run.Run();
  } catch (const std::bad_alloc&) {
    // Everything the run opened is closed by its owners on the way out.
    return ENOMEM;
  }
}

}  // namespace kesto
