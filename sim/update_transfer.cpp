#include "sim/update_transfer.h"

#include <algorithm>
#include <string_view>

#include "platform/deadline.h"
#include "platform/socket.h"
#include "platform/stop_signal.h"
#include "sim/device_socket.h"
#include "sim/hostile.h"
#include "update/md5.h"

namespace kesto::sim {
namespace {

constexpr int kConnectTimeoutMs = 3000;
constexpr int kSendStallMs = 3000;
// How long the device waits for the writer to close after the last word.
constexpr int kCloseWaitMs = 2000;
// How long the stranger waits to see whether the writer sends it anything.
constexpr int kStrangerWatchMs = 3000;
// A stalled device holds the connection at most this long.
constexpr int kStallHoldMs = 120000;
// Largest piece taken in one read (one TCP segment's worth, as on a device).
constexpr size_t kPieceSize = 1460;
// Between the bytes of a split acknowledgement.
constexpr int kSplitGapMs = 5;
// magicByte: the image is examined once a flash sector is full.
constexpr size_t kSectorSize = 4096;
constexpr uint8_t kImageMagic = 0xE9;
constexpr std::string_view kWrongMagic = "Wrong Magic Byte";

Socket ConnectFrom(Ipv4Address local, const sockaddr_in& to, const StopSignal& stop) {
  Socket socket = std::move(Socket::Open(SOCK_STREAM)).value_or(Socket());
  if (!socket.valid()) return socket;
  if (!socket.Bind(MakeSocketAddress(local, 0)) || !socket.Connect(to, kConnectTimeoutMs, &stop))
    socket.Close();
  return socket;
}

// Tells the writer nothing more comes and waits, bounded, for its close, so
// that the last bytes are not lost to a reset.
void CloseGracefully(Socket& socket, const StopSignal& stop) {
  ShutdownSend(socket);
  const Deadline deadline = Deadline::After(kCloseWaitMs);
  char scratch[512];
  for (;;) {
    const Result<size_t> r =
        socket.Receive(scratch, sizeof scratch, deadline.MillisecondsLeft(), &stop);
    if (!r || *r == 0) break;
  }
  socket.Close();
}

// Neither reads nor answers any more; waits until the writer hangs up.
void HoldUntilPeerCloses(const Socket& socket, const StopSignal& stop) {
  // Ends the same way whatever ended the wait.
  static_cast<void>(WaitForPeerClose(socket, kStallHoldMs, &stop));
}

Ipv4Address StrangerAddress(Ipv4Address device) {
  const uint32_t host = ntohl(device);
  const uint32_t last = (host & 0xff) == 200 ? 201 : 200;
  return htonl((host & 0xffffff00u) | last);
}

// Connects to the writer's listener from another local address before the
// device does. A writer that takes any connection would send it the image.
void SendStranger(TransferHost& host, Ipv4Address device, const sockaddr_in& listener,
                  const StopSignal& stop) {
  // Only loopback has a spare local address the stranger can be sure to own.
  if ((ntohl(device) >> 24) != 127) return;
  auto stranger = std::make_shared<Socket>(ConnectFrom(StrangerAddress(device), listener, stop));
  if (!stranger->valid()) return;
  host.StartWorker([&host, stranger](const StopSignal& workerStop) {
    char scratch[1024];
    const Result<size_t> r =
        stranger->Receive(scratch, sizeof scratch, kStrangerWatchMs, &workerStop);
    if (r && *r > 0) host.StrangerServed();
  });
}

enum class Received { kAll, kAborted, kStalled, kReset, kClosed, kRefused };

bool WrongMagic(const DeviceFaults& faults, const std::vector<uint8_t>& image) {
  return faults.magicByte && !image.empty() && image[0] != kImageMagic;
}

// Sends the device's words: at once, or one byte per send gapMs apart.
bool SendWords(Socket& socket, std::string_view text, int gapMs, const StopSignal& stop) {
  if (gapMs <= 0) return socket.SendAll(text.data(), text.size(), kSendStallMs, &stop).has_value();
  for (size_t i = 0; i < text.size(); ++i) {
    if (i > 0 && !stop.SleepFor(gapMs)) return false;
    if (!socket.SendAll(text.data() + i, 1, kSendStallMs, &stop)) return false;
  }
  return true;
}

// Where the image ends early on purpose: bytes short of size, or past it when off.
size_t ShortOf(size_t size, long bytes) {
  return bytes > 0 ? size - std::min(size, static_cast<size_t>(bytes)) : size + 1;
}

// Takes the image, acknowledging each piece with the decimal count of its bytes.
// With finalGluedToAck the last acknowledgement is left in lastAck, unsent.
Received ReceiveImage(Socket& connection, const TransferJob& job, UpdateSession& session,
                      Random& random, std::string& lastAck, const StopSignal& stop) {
  const DeviceFaults& faults = job.config.faults;
  const size_t size = job.invitation.size;
  const size_t stallAt =
      faults.stallAfterBytes >= 0 ? static_cast<size_t>(faults.stallAfterBytes) : size + 1;
  const size_t resetAt = ShortOf(size, faults.resetShortBytes);
  const size_t closeAt = ShortOf(size, faults.closeShortBytes);
  const int gapMs = faults.dripMs > 0 ? faults.dripMs : faults.splitAcks ? kSplitGapMs : 0;
  std::vector<uint8_t> piece(faults.ackPieceSize > 0 ? std::min(kPieceSize, faults.ackPieceSize)
                                                     : kPieceSize);
  while (session.image.size() < size) {
    const size_t have = session.image.size();
    if (have >= stallAt) return Received::kStalled;
    if (have >= resetAt) return Received::kReset;
    if (have >= closeAt) return Received::kClosed;
    const size_t want =
        std::min({piece.size(), size - have, stallAt - have, resetAt - have, closeAt - have});
    const Result<size_t> r = connection.Receive(piece.data(), want, kTransferIdleMs, &stop);
    if (!r || *r == 0) return Received::kAborted;
    session.image.insert(session.image.end(), piece.begin(), piece.begin() + *r);
    if (session.image.size() >= kSectorSize && WrongMagic(faults, session.image)) {
      // The refusal in place of the count, in two sends as the receiver makes them.
      SendWords(connection, kWrongMagic, 0, stop);
      SendWords(connection, "\r\n", 0, stop);
      return Received::kRefused;
    }
    if (faults.ackDelayMs > 0 && !stop.SleepFor(faults.ackDelayMs)) return Received::kAborted;
    const std::string ack = faults.randomAcks ? RandomAck(random) : std::to_string(*r);
    if (session.image.size() == size && faults.finalGluedToAck) {
      lastAck = ack;
      break;
    }
    if (!SendWords(connection, ack, gapMs, stop)) return Received::kAborted;
  }
  return Received::kAll;
}

bool ImageMatches(const std::vector<uint8_t>& image, const std::string& md5) {
  const Result<Md5Digest> digest = StringMd5(image.data(), image.size());
  return digest && DigestText(*digest) == md5;
}

}  // namespace

void RunTransfer(TransferHost& host, const TransferJob& job, const StopSignal& stop) {
  UpdateSession session;
  session.deviceAddress = job.config.address;
  session.authMessages = job.authMessages;
  const DeviceFaults& faults = job.config.faults;
  const auto device = ParseIpv4(job.config.address);
  sockaddr_in listener = job.writer;
  listener.sin_port = htons(job.invitation.port);
  Random random = MakeRandom(job.seed, job.stream);
  const auto finish = [&](UpdateSession ended) {
    if (!job.asStranger) return host.Finished(job.device, std::move(ended));
    if (!ended.image.empty()) host.StrangerServed();
  };

  if (!device || (faults.connectDelayMs > 0 && !stop.SleepFor(faults.connectDelayMs)))
    return finish(std::move(session));
  if (faults.strangerFirst) SendStranger(host, *device, listener, stop);
  Socket connection = ConnectFrom(job.from != 0 ? job.from : *device, listener, stop);
  if (!connection.valid()) return finish(std::move(session));

  std::string gluedAck;
  const Received received = ReceiveImage(connection, job, session, random, gluedAck, stop);
  if (received != Received::kAll) {
    finish(std::move(session));
    if (received == Received::kStalled) HoldUntilPeerCloses(connection, stop);
    if (received == Received::kReset) CloseWithReset(connection);
    if (received == Received::kRefused) CloseGracefully(connection, stop);
    return;  // otherwise closed in order, without a word
  }
  session.complete = true;
  session.md5Matched = ImageMatches(session.image, job.invitation.md5);
  const bool wrongMagic = WrongMagic(faults, session.image);
  session.accepted = session.md5Matched && !faults.finalError && !wrongMagic;
  const bool accepted = session.accepted;
  finish(std::move(session));
  std::string words = gluedAck;
  if (!faults.closeInsteadOfFinal) {
    if (faults.randomFinal)
      words += accepted ? RandomFinal(random) : WithoutOk(RandomFinal(random));
    else
      words += accepted     ? "OK"
               : wrongMagic ? std::string(kWrongMagic) + "\r\n"
                            : "MD5 Check Failed\r\n";
  }
  SendWords(connection, words, faults.dripMs, stop);
  CloseGracefully(connection, stop);
}

}  // namespace kesto::sim
