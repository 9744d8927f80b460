#pragma once

// For the Windows implementations in this folder only.

#include <winsock2.h>
#include <ws2tcpip.h>

#include <string>

#include "platform/errors.h"
#include "platform/wide_text.h"

namespace kesto {

// Starts Winsock 2.2 once for the process (WSAStartup on first use, WSACleanup
// at exit). Fails with the reason it could not start.
[[nodiscard]] Result<void> StartWinsock();

// The last Winsock error as our error numbers are: WSAGetLastError().
inline int LastSocketError() {
  return WSAGetLastError();
}

}  // namespace kesto
