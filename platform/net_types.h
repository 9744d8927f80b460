#pragma once

// The system's socket types (sockaddr_in, SOCK_STREAM, SOL_SOCKET, htons, ...)
// for code above the platform layer, which names them but never calls the
// socket API itself.

#include <cstdint>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace kesto {

// An IPv4 address in network byte order, as it sits in sockaddr_in.
using Ipv4Address = std::uint32_t;

// The system's handle of a socket.
#ifdef _WIN32
using NativeSocket = SOCKET;
inline constexpr NativeSocket kNoSocket = INVALID_SOCKET;
#else
using NativeSocket = int;
inline constexpr NativeSocket kNoSocket = -1;
#endif

}  // namespace kesto
