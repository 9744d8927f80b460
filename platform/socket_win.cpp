// Winsock 2. Every socket is non-blocking from the start: the waits below
// (select, WSAPoll) bound every operation, and a non-blocking send never
// sits in the kernel past the time limit the way a blocking one can.

#include <mswsock.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/socket.h"
#include "platform/stop_signal.h"
#include "platform/wait.h"
#include "platform/winsock.h"

namespace kesto {
namespace {

class WinsockSession {
 public:
  WinsockSession() {
    WSADATA data{};
    error_ = WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~WinsockSession() {
    if (error_ == 0) WSACleanup();
  }
  WinsockSession(const WinsockSession&) = delete;
  WinsockSession& operator=(const WinsockSession&) = delete;
  int error() const { return error_; }

 private:
  int error_ = 0;
};

int SetNonBlockingMode(SOCKET socket, bool nonBlocking) {
  u_long on = nonBlocking ? 1 : 0;
  return ioctlsocket(socket, FIONBIO, &on) == SOCKET_ERROR ? LastSocketError() : 0;
}

// A new socket: not handed down to child processes, non-blocking.
SOCKET Prepare(SOCKET socket) {
  if (socket == INVALID_SOCKET) return socket;
  SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
  SetNonBlockingMode(socket, true);
  return socket;
}

int ClampedLength(size_t size) {
  return size > INT_MAX ? INT_MAX : static_cast<int>(size);
}

timeval Interval(int ms) {
  timeval interval{};
  interval.tv_sec = ms / 1000;
  interval.tv_usec = (ms % 1000) * 1000;
  return interval;
}

// One select() of the items and the stop. Failed connects show in the
// exception set, which WSAPoll would not report on older Windows.
Result<bool> SelectOnce(std::span<WaitItem> items, NativeSocket stop, int ms) {
  fd_set reads;
  fd_set writes;
  fd_set failures;
  FD_ZERO(&reads);
  FD_ZERO(&writes);
  FD_ZERO(&failures);
  for (const WaitItem& item : items) {
    if (item.handle == INVALID_SOCKET) continue;
    if (item.want == Readiness::kWritable) {
      FD_SET(item.handle, &writes);
      FD_SET(item.handle, &failures);
    } else {
      FD_SET(item.handle, &reads);
    }
  }
  if (stop != INVALID_SOCKET) FD_SET(stop, &reads);
  if (reads.fd_count == 0 && writes.fd_count == 0) {  // select refuses empty sets
    Sleep(static_cast<DWORD>(ms));
    return false;
  }
  timeval interval = Interval(ms);
  if (select(0, &reads, &writes, &failures, &interval) == SOCKET_ERROR)
    return Failure(SocketError(LastSocketError()));
  for (WaitItem& item : items)
    item.ready = item.handle != INVALID_SOCKET &&
                 (FD_ISSET(item.handle, &reads) || FD_ISSET(item.handle, &writes) ||
                  FD_ISSET(item.handle, &failures));
  return stop != INVALID_SOCKET && FD_ISSET(stop, &reads);
}

// One WSAPoll of the items and the stop: any number of sockets, and a
// hang-up is reported whatever events were asked for, so asking for none
// leaves unread data alone.
Result<bool> WsaPollOnce(std::span<WaitItem> items, NativeSocket stop, int ms) {
  // WSAPoll takes no placeholder entries: only valid sockets go in.
  std::vector<WSAPOLLFD> fds;
  std::vector<WaitItem*> owners;
  fds.reserve(items.size() + 1);
  for (WaitItem& item : items) {
    if (item.handle == INVALID_SOCKET) continue;
    const SHORT events = item.want == Readiness::kPeerClosed ? 0 : POLLRDNORM;
    fds.push_back({item.handle, events, 0});
    owners.push_back(&item);
  }
  if (stop != INVALID_SOCKET) fds.push_back({stop, POLLRDNORM, 0});
  if (fds.empty()) {
    Sleep(static_cast<DWORD>(ms));
    return false;
  }
  if (WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), ms) == SOCKET_ERROR)
    return Failure(SocketError(LastSocketError()));
  for (size_t k = 0; k < owners.size(); ++k) owners[k]->ready = fds[k].revents != 0;
  return stop != INVALID_SOCKET && fds.back().revents != 0;
}

}  // namespace

Result<bool> PollOnce(std::span<WaitItem> items, NativeSocket stop, int ms) {
  const bool writing = std::any_of(items.begin(), items.end(), [](const WaitItem& item) {
    return item.want == Readiness::kWritable;
  });
  if (writing) return SelectOnce(items, stop, ms);
  const Result<bool> polled = WsaPollOnce(items, stop, ms);
  if (polled || stop == INVALID_SOCKET) return polled;
  // Without WSAPoll (a hang-up report), hold until the stop or the limit.
  WaitItem none[1] = {};
  return SelectOnce({none, 0}, stop, ms);
}

Result<void> StartWinsock() {
  static const WinsockSession session;
  if (session.error() != 0) return Failure(SocketError(session.error()));
  return {};
}

Result<Socket> Socket::Open(int type) {
  if (Result<void> started = StartWinsock(); !started) return Failure(started.error());
  const SOCKET socket = Prepare(::socket(AF_INET, type, 0));
  if (socket == INVALID_SOCKET) return Failure(SocketError(LastSocketError()));
  return Socket(socket);
}

void Socket::Close() {
  if (handle_ != INVALID_SOCKET) {
    closesocket(handle_);
    handle_ = INVALID_SOCKET;
  }
}

Result<void> Socket::Checked(int result) {
  if (result == SOCKET_ERROR) return Failure(SocketError(LastSocketError()));
  return {};
}

Result<void> Socket::AllowPortReuse() {
  // Windows binds a port whose earlier connections linger as it is; its
  // SO_REUSEADDR would let the bind take a port another listener holds.
  return {};
}

Result<sockaddr_in> Socket::LocalAddress() const {
  sockaddr_in address{};
  int length = sizeof address;
  if (getsockname(handle_, reinterpret_cast<sockaddr*>(&address), &length) == SOCKET_ERROR)
    return Failure(SocketError(LastSocketError()));
  return address;
}

Result<void> Socket::Connect(const sockaddr_in& to, int timeoutMs, const StopSignal* stop) {
  if (connect(handle_, reinterpret_cast<const sockaddr*>(&to), sizeof to) == SOCKET_ERROR) {
    const int error = LastSocketError();
    if (error != WSAEWOULDBLOCK) return Failure(SocketError(error));
    if (Result<void> ready = WaitWritable(timeoutMs, stop); !ready) return ready;
    int pending = 0;
    int length = sizeof pending;
    if (getsockopt(handle_, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending), &length) ==
        SOCKET_ERROR)
      return Failure(SocketError(LastSocketError()));
    if (pending != 0) return Failure(SocketError(pending));
  }
  return {};
}

Result<Socket> Socket::Accept(sockaddr_in* peer) {
  sockaddr_in address{};
  int length = sizeof address;
  const SOCKET socket = Prepare(accept(handle_, reinterpret_cast<sockaddr*>(&address), &length));
  if (socket == INVALID_SOCKET) return Failure(SocketError(LastSocketError()));
  if (peer) *peer = address;
  return Socket(socket);
}

Result<size_t> Socket::SendTo(const void* data, size_t size, const sockaddr_in& to) {
  const int sent = sendto(handle_, static_cast<const char*>(data), ClampedLength(size), 0,
                          reinterpret_cast<const sockaddr*>(&to), sizeof to);
  if (sent == SOCKET_ERROR) return Failure(SocketError(LastSocketError()));
  return static_cast<size_t>(sent);
}

Result<size_t> Socket::TryReceiveFrom(void* buffer, size_t size, sockaddr_in* from) {
  sockaddr_in sender{};
  int length = sizeof sender;
  const int received = recvfrom(handle_, static_cast<char*>(buffer), ClampedLength(size), 0,
                                reinterpret_cast<sockaddr*>(&sender), &length);
  if (received == SOCKET_ERROR) {
    const int error = LastSocketError();
    // Winsock fills the buffer with the datagram's start and drops the rest;
    // none of it is handed out, as on POSIX.
    if (error == WSAEMSGSIZE) {
      if (from) *from = sender;
      return Failure(SocketError(errors::kMessageTooLong));
    }
    return Failure(SocketError(error));
  }
  if (from) *from = sender;
  return static_cast<size_t>(received);
}

void Socket::CountDroppedDatagrams() {
  // Winsock keeps no count of datagrams dropped for want of room.
}

Result<size_t> Socket::ReceiveCounted(void* buffer, size_t size, sockaddr_in* from, uint32_t&) {
  return ReceiveFrom(buffer, size, from, 0, nullptr);
}

Result<size_t> Socket::TrySend(const void* data, size_t size) {
  const int sent = send(handle_, static_cast<const char*>(data), ClampedLength(size), 0);
  if (sent == SOCKET_ERROR) return Failure(SocketError(LastSocketError()));
  return static_cast<size_t>(sent);
}

Result<size_t> Socket::TryReceive(void* buffer, size_t size) {
  const int received = recv(handle_, static_cast<char*>(buffer), ClampedLength(size), 0);
  if (received == SOCKET_ERROR) return Failure(SocketError(LastSocketError()));
  return static_cast<size_t>(received);
}

void Socket::Shutdown() {
  if (handle_ != INVALID_SOCKET) shutdown(handle_, SD_BOTH);
}

}  // namespace kesto
