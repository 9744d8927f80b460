// Winsock waits on sockets only, so the signal is a UDP socket on loopback
// connected to itself: Trigger() sends it one datagram, which is never read,
// so the socket stays readable for good.

#include "platform/stop_signal.h"
#include "platform/winsock.h"

namespace kesto {
namespace {

// select() for readability of handle within ms; >0 readable, 0 not, <0 failed.
int Readable(SOCKET handle, int ms) {
  fd_set reads;
  FD_ZERO(&reads);
  FD_SET(handle, &reads);
  timeval interval{};
  interval.tv_sec = ms / 1000;
  interval.tv_usec = (ms % 1000) * 1000;
  return select(0, &reads, nullptr, nullptr, &interval);
}

}  // namespace

StopSignal::StopSignal() {
  if (!StartWinsock()) return;
  const SOCKET handle = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (handle == INVALID_SOCKET) return;
  SetHandleInformation(reinterpret_cast<HANDLE>(handle), HANDLE_FLAG_INHERIT, 0);
  sockaddr_in self{};
  self.sin_family = AF_INET;
  self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof self;
  u_long nonBlocking = 1;
  if (bind(handle, reinterpret_cast<const sockaddr*>(&self), sizeof self) == SOCKET_ERROR ||
      getsockname(handle, reinterpret_cast<sockaddr*>(&self), &length) == SOCKET_ERROR ||
      connect(handle, reinterpret_cast<const sockaddr*>(&self), sizeof self) == SOCKET_ERROR ||
      ioctlsocket(handle, FIONBIO, &nonBlocking) == SOCKET_ERROR) {
    closesocket(handle);
    return;
  }
  handle_ = handle;
}

StopSignal::~StopSignal() {
  if (handle_ != INVALID_SOCKET) closesocket(handle_);
}

void StopSignal::Trigger() {
  if (handle_ == INVALID_SOCKET) return;
  const char one = 1;
  send(handle_, &one, 1, 0);
}

bool StopSignal::Triggered() const {
  return handle_ != INVALID_SOCKET && Readable(handle_, 0) > 0;
}

}  // namespace kesto
