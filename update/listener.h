#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/socket.h"

namespace kesto {

using LogHook = std::function<void(std::string_view)>;

// The TCP listener the device connects back to.
struct Listener {
  Socket socket;
  uint16_t port = 0;  // as bound, host order
};

// Opens a listener on localAddress:port (port 0: the system chooses) with the
// log lines that the write's pre-check and the write itself share, from the
// "ok" after the socket up to "listen :". Returns 0, or the system error of
// the step that failed, for the caller to log.
int OpenListener(const std::string& localAddress, uint16_t port, const LogHook& log,
                 Listener& listener);

}  // namespace kesto
