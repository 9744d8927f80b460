#include "update/listener.h"

#include "platform/errors.h"
#include "platform/format.h"

namespace kesto {

int OpenListener(const std::string& localAddress, uint16_t port, const LogHook& log,
                 Listener& listener) {
  const auto say = [&log](std::string_view piece) {
    if (log) log(piece);
  };
  Result<Socket> opened = Socket::Open(SOCK_STREAM);
  if (!opened) return opened.error().value();
  listener.socket = std::move(*opened);
  int error = 0;
  say("ok\r\n");
  say(Format("bind \"%s\":", localAddress.c_str()));
  const auto address = ParseIpv4(localAddress);
  if (!address) return errors::kAddressNotAvailable;
  // A fixed port is taken again by every write of a batch; a connection of
  // the previous write lingering in TIME_WAIT must not refuse it. A listener
  // still open on the port is refused all the same.
  if (port != 0 && (error = ErrorNumber(listener.socket.AllowPortReuse()))) return error;
  if ((error = ErrorNumber(listener.socket.Bind(MakeSocketAddress(*address, port))))) return error;
  say("ok\r\n");
  say("getsockname :");
  const Result<sockaddr_in> bound = listener.socket.LocalAddress();
  if (!bound) return ErrorNumber(bound);
  listener.port = ntohs(bound->sin_port);
  say(Format("ok: localPort = %d\r\n", static_cast<int>(listener.port)));
  say("listen :");
  return ErrorNumber(listener.socket.Listen(1));
}

}  // namespace kesto
