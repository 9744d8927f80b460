#include "sim/update_transfer.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string_view>

#include "platform/socket.h"
#include "platform/stop_signal.h"
#include "update/md5.h"

namespace kesto::sim {
namespace {

using Clock = std::chrono::steady_clock;

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

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<long long>(0, left.count()));
}

Socket ConnectFrom(in_addr_t local, const sockaddr_in& to, const StopSignal& stop) {
  int error = 0;
  Socket socket = Socket::Open(SOCK_STREAM, error);
  if (!socket.valid()) return socket;
  if (socket.Bind(MakeSocketAddress(local, 0)) != 0 ||
      socket.Connect(to, kConnectTimeoutMs, &stop) != 0)
    socket.Close();
  return socket;
}

// Tells the writer nothing more comes and waits, bounded, for its close, so
// that the last bytes are not lost to a reset.
void CloseGracefully(Socket& socket, const StopSignal& stop) {
  shutdown(socket.fd(), SHUT_WR);
  const auto deadline = Clock::now() + std::chrono::milliseconds(kCloseWaitMs);
  char scratch[512];
  for (;;) {
    const IoResult r = socket.Receive(scratch, sizeof scratch, RemainingMs(deadline), &stop);
    if (!r.ok() || r.bytes == 0) break;
  }
  socket.Close();
}

// Neither reads nor answers any more; waits until the writer hangs up.
void HoldUntilPeerCloses(const Socket& socket, const StopSignal& stop) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(kStallHoldMs);
  for (;;) {
    pollfd fds[2] = {{socket.fd(), POLLRDHUP, 0}, {stop.Descriptor(), POLLIN, 0}};
    const int ready = poll(fds, 2, RemainingMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || fds[0].revents != 0 || fds[1].revents != 0) return;
  }
}

in_addr_t StrangerAddress(in_addr_t device) {
  const uint32_t host = ntohl(device);
  const uint32_t last = (host & 0xff) == 200 ? 201 : 200;
  return htonl((host & 0xffffff00u) | last);
}

// Connects to the writer's listener from another local address before the
// device does. A writer that takes any connection would send it the image.
void SendStranger(TransferHost& host, in_addr_t device, const sockaddr_in& listener,
                  const StopSignal& stop) {
  // Only loopback has a spare local address the stranger can be sure to own.
  if ((ntohl(device) >> 24) != 127) return;
  auto stranger = std::make_shared<Socket>(ConnectFrom(StrangerAddress(device), listener, stop));
  if (!stranger->valid()) return;
  host.StartWorker([&host, stranger](const StopSignal& workerStop) {
    char scratch[1024];
    const IoResult r = stranger->Receive(scratch, sizeof scratch, kStrangerWatchMs, &workerStop);
    if (r.ok() && r.bytes > 0) host.StrangerServed();
  });
}

enum class Received { kAll, kAborted, kStalled };

// Takes the image, acknowledging each piece with the decimal count of its bytes.
Received ReceiveImage(Socket& connection, const TransferJob& job, UpdateSession& session,
                      const StopSignal& stop) {
  const DeviceFaults& faults = job.config.faults;
  const size_t size = job.invitation.size;
  const size_t stallAt =
      faults.stallAfterBytes >= 0 ? static_cast<size_t>(faults.stallAfterBytes) : size + 1;
  std::vector<uint8_t> piece(kPieceSize);
  while (session.image.size() < size) {
    const size_t have = session.image.size();
    if (have >= stallAt) return Received::kStalled;
    const size_t want = std::min({piece.size(), size - have, stallAt - have});
    const IoResult r = connection.Receive(piece.data(), want, kTransferIdleMs, &stop);
    if (!r.ok() || r.bytes == 0) return Received::kAborted;
    session.image.insert(session.image.end(), piece.begin(), piece.begin() + r.bytes);
    if (faults.ackDelayMs > 0 && !stop.SleepFor(faults.ackDelayMs)) return Received::kAborted;
    const std::string ack = std::to_string(r.bytes);
    if (!connection.SendAll(ack.data(), ack.size(), kSendStallMs, &stop).ok())
      return Received::kAborted;
  }
  return Received::kAll;
}

bool ImageMatches(const std::vector<uint8_t>& image, const std::string& md5) {
  Md5Digest digest{};
  return StringMd5(image.data(), image.size(), digest) && DigestText(digest) == md5;
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

  if (!device || (faults.connectDelayMs > 0 && !stop.SleepFor(faults.connectDelayMs)))
    return host.Finished(job.device, std::move(session));
  if (faults.strangerFirst) SendStranger(host, *device, listener, stop);
  Socket connection = ConnectFrom(*device, listener, stop);
  if (!connection.valid()) return host.Finished(job.device, std::move(session));

  const Received received = ReceiveImage(connection, job, session, stop);
  if (received != Received::kAll) {
    host.Finished(job.device, std::move(session));
    if (received == Received::kStalled) HoldUntilPeerCloses(connection, stop);
    return;
  }
  session.complete = true;
  session.md5Matched = ImageMatches(session.image, job.invitation.md5);
  const bool accepted = session.md5Matched && !faults.finalError;
  host.Finished(job.device, std::move(session));
  if (!faults.closeInsteadOfFinal) {
    const std::string_view answer = accepted ? "OK" : "MD5 Check Failed\r\n";
    connection.SendAll(answer.data(), answer.size(), kSendStallMs, &stop);
  }
  CloseGracefully(connection, stop);
}

}  // namespace kesto::sim
