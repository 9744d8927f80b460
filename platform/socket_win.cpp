// Winsock 2. Every socket is non-blocking from the start: the waits below
// (select, WSAPoll) bound every operation, and a non-blocking send never
// sits in the kernel past the time limit the way a blocking one can.

#include <mswsock.h>

#include <climits>
#include <cstring>

#include "platform/deadline.h"
#include "platform/socket.h"
#include "platform/stop_signal.h"
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

int SetBlocking(SOCKET socket, bool nonBlocking) {
  u_long on = nonBlocking ? 1 : 0;
  return ioctlsocket(socket, FIONBIO, &on) == SOCKET_ERROR ? LastSocketError() : 0;
}

// A new socket: not handed down to child processes, non-blocking.
SOCKET Prepare(SOCKET socket) {
  if (socket == INVALID_SOCKET) return socket;
  SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
  SetBlocking(socket, true);
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

// select() on one socket (and the stop) until the deadline. Failed connects
// show in the exception set, which WSAPoll would not report on older Windows.
int WaitFor(SOCKET socket, bool write, int timeoutMs, const StopSignal* stop) {
  const Deadline deadline = Deadline::After(timeoutMs);
  const bool withStop = stop && stop->valid();
  for (;;) {
    fd_set reads;
    fd_set writes;
    fd_set failures;
    FD_ZERO(&reads);
    FD_ZERO(&writes);
    FD_ZERO(&failures);
    if (write) {
      FD_SET(socket, &writes);
      FD_SET(socket, &failures);
    } else {
      FD_SET(socket, &reads);
    }
    if (withStop) FD_SET(stop->Descriptor(), &reads);
    timeval interval = Interval(deadline.MillisecondsLeft());
    const int ready = select(0, &reads, &writes, &failures, &interval);
    if (ready == SOCKET_ERROR) {
      const int error = LastSocketError();
      if (error == WSAEINTR) continue;
      return error;
    }
    if (withStop && FD_ISSET(stop->Descriptor(), &reads)) return errors::kCanceled;
    if (ready == 0) {
      if (deadline.Passed()) return errors::kTimedOut;
      continue;
    }
    if (FD_ISSET(socket, &reads) || FD_ISSET(socket, &writes) || FD_ISSET(socket, &failures))
      return 0;
  }
}

}  // namespace

int StartWinsock() {
  static const WinsockSession session;
  return session.error();
}

std::wstring WideFromUtf8(const std::string& text) {
  if (text.empty()) return {};
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), ClampedLength(text.size()), nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), ClampedLength(text.size()), wide.data(), length);
  return wide;
}

std::string Utf8FromWide(const wchar_t* text) {
  if (!text || !*text) return {};
  const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1) return {};
  std::string utf8(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), length, nullptr, nullptr);
  utf8.pop_back();  // the terminator
  return utf8;
}

Socket Socket::Open(int type, int& error) {
  error = StartWinsock();
  if (error) return Socket();
  const SOCKET socket = Prepare(::socket(AF_INET, type, 0));
  error = socket == INVALID_SOCKET ? LastSocketError() : 0;
  return Socket(socket);
}

void Socket::Close() {
  if (handle_ != INVALID_SOCKET) {
    closesocket(handle_);
    handle_ = INVALID_SOCKET;
  }
}

int Socket::Bind(const sockaddr_in& address) {
  return bind(handle_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == SOCKET_ERROR
             ? LastSocketError()
             : 0;
}

int Socket::Listen(int backlog) {
  return listen(handle_, backlog) == SOCKET_ERROR ? LastSocketError() : 0;
}

int Socket::SetOption(int level, int name, int value) {
  return setsockopt(handle_, level, name, reinterpret_cast<const char*>(&value), sizeof value) ==
                 SOCKET_ERROR
             ? LastSocketError()
             : 0;
}

int Socket::AllowPortReuse() {
  // Windows binds a port whose earlier connections linger as it is; its
  // SO_REUSEADDR would let the bind take a port another listener holds.
  return 0;
}

int Socket::SetNonBlocking(bool on) {
  return SetBlocking(handle_, on);
}

int Socket::LocalAddress(sockaddr_in& address) const {
  int length = sizeof address;
  return getsockname(handle_, reinterpret_cast<sockaddr*>(&address), &length) == SOCKET_ERROR
             ? LastSocketError()
             : 0;
}

int Socket::WaitReadable(int timeoutMs, const StopSignal* stop) const {
  return WaitFor(handle_, false, timeoutMs, stop);
}

int Socket::WaitWritable(int timeoutMs, const StopSignal* stop) const {
  return WaitFor(handle_, true, timeoutMs, stop);
}

int Socket::Connect(const sockaddr_in& to, int timeoutMs, const StopSignal* stop) {
  if (connect(handle_, reinterpret_cast<const sockaddr*>(&to), sizeof to) == SOCKET_ERROR) {
    const int error = LastSocketError();
    if (error != WSAEWOULDBLOCK) return error;
    if (const int waited = WaitWritable(timeoutMs, stop)) return waited;
    int pending = 0;
    int length = sizeof pending;
    if (getsockopt(handle_, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending), &length) ==
        SOCKET_ERROR)
      return LastSocketError();
    if (pending != 0) return pending;
  }
  return 0;
}

Socket Socket::Accept(sockaddr_in* peer, int& error) {
  sockaddr_in address{};
  int length = sizeof address;
  const SOCKET socket = Prepare(accept(handle_, reinterpret_cast<sockaddr*>(&address), &length));
  error = socket == INVALID_SOCKET ? LastSocketError() : 0;
  if (socket != INVALID_SOCKET && peer) *peer = address;
  return Socket(socket);
}

IoResult Socket::SendTo(const void* data, size_t size, const sockaddr_in& to) {
  const int sent = sendto(handle_, static_cast<const char*>(data), ClampedLength(size), 0,
                          reinterpret_cast<const sockaddr*>(&to), sizeof to);
  if (sent == SOCKET_ERROR) return {0, LastSocketError()};
  return {static_cast<size_t>(sent), 0};
}

IoResult Socket::TryReceiveFrom(void* buffer, size_t size, sockaddr_in* from) {
  sockaddr_in sender{};
  int length = sizeof sender;
  const int received = recvfrom(handle_, static_cast<char*>(buffer), ClampedLength(size), 0,
                                reinterpret_cast<sockaddr*>(&sender), &length);
  if (received == SOCKET_ERROR) {
    const int error = LastSocketError();
    // Winsock fills the buffer with the datagram's start and drops the rest.
    if (error == WSAEMSGSIZE) {
      if (from) *from = sender;
      return {size, errors::kMessageTooLong};
    }
    return {0, error};
  }
  if (from) *from = sender;
  return {static_cast<size_t>(received), 0};
}

void Socket::CountDroppedDatagrams() {
  // Winsock keeps no count of datagrams dropped for want of room.
}

IoResult Socket::ReceiveCounted(void* buffer, size_t size, sockaddr_in* from, uint32_t&) {
  return ReceiveFrom(buffer, size, from, 0, nullptr);
}

IoResult Socket::TrySend(const void* data, size_t size) {
  const int sent = send(handle_, static_cast<const char*>(data), ClampedLength(size), 0);
  if (sent == SOCKET_ERROR) return {0, LastSocketError()};
  return {static_cast<size_t>(sent), 0};
}

IoResult Socket::TryReceive(void* buffer, size_t size) {
  const int received = recv(handle_, static_cast<char*>(buffer), ClampedLength(size), 0);
  if (received == SOCKET_ERROR) return {0, LastSocketError()};
  return {static_cast<size_t>(received), 0};
}

void Socket::Shutdown() {
  if (handle_ != INVALID_SOCKET) shutdown(handle_, SD_BOTH);
}

}  // namespace kesto
