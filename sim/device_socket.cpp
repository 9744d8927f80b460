#include "sim/device_socket.h"

#include <utility>

#include "platform/wait.h"

namespace kesto::sim {

int OpenSocket(Socket& socket, int type) {
  Result<Socket> opened = Socket::Open(type);
  if (!opened) return opened.error().value();
  socket = std::move(*opened);
  return 0;
}

Result<void> WaitForPeerClose(const Socket& socket, int timeoutMs, const StopSignal* stop) {
  WaitItem item{socket.handle(), Readiness::kPeerClosed};
  return WaitForAny({&item, 1}, timeoutMs, stop);
}

Result<void> WaitAnyReadable(const std::vector<const Socket*>& sockets, std::vector<bool>& readable,
                             int timeoutMs, const StopSignal* stop) {
  std::vector<WaitItem> items;
  items.reserve(sockets.size());
  for (const Socket* socket : sockets)
    items.push_back({socket && socket->valid() ? socket->handle() : kNoSocket});
  Result<void> waited = WaitForAny(items, timeoutMs, stop);
  readable.assign(sockets.size(), false);
  for (size_t i = 0; i < sockets.size(); ++i) readable[i] = items[i].ready;
  return waited;
}

}  // namespace kesto::sim
