#include "update/listener.h"

#include "platform/format.h"

namespace kesto {
namespace {

Result<Listener> Open(const std::string& localAddress, uint16_t port, const LogHook& say) {
  Result<Socket> opened = Socket::Open(SOCK_STREAM);
  if (!opened) return Failure(opened.error());
  Listener listener{std::move(*opened)};
  say("ok\r\n");
  say(Format("bind \"%s\":", localAddress.c_str()));
  const auto address = ParseIpv4(localAddress);
  if (!address) return Failure(SocketError(errors::kAddressNotAvailable));
  // A fixed port is taken again by every write of a batch; a connection of
  // the previous write lingering in TIME_WAIT must not refuse it. A listener
  // still open on the port is refused all the same.
  if (port != 0)
    if (Result<void> reuse = listener.socket.AllowPortReuse(); !reuse)
      return Failure(reuse.error());
  if (Result<void> bound = listener.socket.Bind(MakeSocketAddress(*address, port)); !bound)
    return Failure(bound.error());
  say("ok\r\n");
  say("getsockname :");
  const Result<sockaddr_in> bound = listener.socket.LocalAddress();
  if (!bound) return Failure(bound.error());
  listener.port = ntohs(bound->sin_port);
  say(Format("ok: localPort = %d\r\n", static_cast<int>(listener.port)));
  say("listen :");
  if (Result<void> listening = listener.socket.Listen(1); !listening)
    return Failure(listening.error());
  return listener;
}

}  // namespace

Result<Listener> OpenListener(const std::string& localAddress, uint16_t port, const LogHook& log) {
  const auto say = [&log](std::string_view piece) {
    if (log) log(piece);
  };
  Result<Listener> listener = Open(localAddress, port, say);
  if (!listener) say(Format("ERROR: %d\r\n", listener.error().value()));
  return listener;
}

}  // namespace kesto
