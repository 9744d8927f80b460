#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/errors.h"
#include "platform/socket.h"

namespace kesto {

using LogHook = std::function<void(std::string_view)>;

// The TCP listener the device connects back to.
struct Listener {
  Socket socket;
  uint16_t port = 0;  // as bound, host order

  bool open() const { return socket.valid(); }
};

// Opens a listener on localAddress:port (port 0: the system chooses): the
// one way to get one, for the check before a write and for the write itself.
// log hears each step, from the "ok" after the socket up to "listen :", and
// for a failed step "ERROR: %d" with the system's number.
[[nodiscard]] Result<Listener> OpenListener(const std::string& localAddress, uint16_t port,
                                            const LogHook& log);

}  // namespace kesto
