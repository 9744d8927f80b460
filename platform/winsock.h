#pragma once

// For the Windows implementations in this folder only.

#include <winsock2.h>
#include <ws2tcpip.h>

#include <string>

#include "platform/wide_text.h"

namespace kesto {

// Starts Winsock 2.2 once for the process (WSAStartup on first use, WSACleanup
// at exit). 0, or the reason it could not start.
int StartWinsock();

// The last Winsock error as our error numbers are: WSAGetLastError().
inline int LastSocketError() {
  return WSAGetLastError();
}

}  // namespace kesto
