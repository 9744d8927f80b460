#pragma once

// Error numbers by name. Every result code of the core is the system's own
// number: errno on POSIX, the Winsock (WSAE...) number on Windows, which is
// also what the original Windows program showed (10060 for a time-out). Code
// above the platform layer compares against these names (kesto::errors::kTimedOut), never against
// errno macros, so that it reads the same on both.

#include <string>
#include <system_error>

#include <tl/expected.hpp>

#ifndef _WIN32
#include <cerrno>
#endif

namespace kesto {

// Two sources of numbers that never share an int: sockets' (errno; Winsock's
// WSAGetLastError() on Windows) and files' and the rest of the system's
// (errno; GetLastError() on Windows). Each category's message is the
// system's words for its number.
const std::error_category& SocketCategory();
const std::error_category& FileCategory();

[[nodiscard]] inline std::error_code SocketError(int number) {
  return {number, SocketCategory()};
}
[[nodiscard]] inline std::error_code FileError(int number) {
  return {number, FileCategory()};
}

// What every call that can fail returns: its value, or why it failed.
template <typename T>
using Result = tl::expected<T, std::error_code>;

[[nodiscard]] inline tl::unexpected<std::error_code> Failure(std::error_code error) {
  return tl::unexpected<std::error_code>(error);
}

// The system's number behind a failed result, 0 for a success: for outcomes
// that carry the number (WriteOutcome::systemError, an exit message).
template <typename T>
[[nodiscard]] int ErrorNumber(const Result<T>& result) {
  return result ? 0 : result.error().value();
}

}  // namespace kesto

namespace kesto::errors {

#ifdef _WIN32
inline constexpr int kTimedOut = 10060;             // WSAETIMEDOUT
inline constexpr int kCanceled = 10103;             // WSAECANCELLED
inline constexpr int kWouldBlock = 10035;           // WSAEWOULDBLOCK
inline constexpr int kInterrupted = 10004;          // WSAEINTR
inline constexpr int kInvalidArgument = 10022;      // WSAEINVAL
inline constexpr int kAlready = 10037;              // WSAEALREADY
inline constexpr int kAddressInUse = 10048;         // WSAEADDRINUSE
inline constexpr int kAddressNotAvailable = 10049;  // WSAEADDRNOTAVAIL
inline constexpr int kConnectionAborted = 10053;    // WSAECONNABORTED
inline constexpr int kConnectionReset = 10054;      // WSAECONNRESET
inline constexpr int kConnectionRefused = 10061;    // WSAECONNREFUSED
// WSAESHUTDOWN; a send to a peer that has reset fails with kConnectionReset or kConnectionAborted.
inline constexpr int kBrokenPipe = 10058;
inline constexpr int kMessageTooLong = 10040;  // WSAEMSGSIZE
inline constexpr int kNoBuffers = 10055;       // WSAENOBUFS
inline constexpr int kTooManyFiles = 10024;    // WSAEMFILE
inline constexpr int kNoMemory = 8;            // ERROR_NOT_ENOUGH_MEMORY (WSA_NOT_ENOUGH_MEMORY)
inline constexpr int kIsDirectory = 336;       // ERROR_DIRECTORY_NOT_SUPPORTED
#else
inline constexpr int kTimedOut = ETIMEDOUT;
inline constexpr int kCanceled = ECANCELED;
inline constexpr int kWouldBlock = EWOULDBLOCK;
inline constexpr int kInterrupted = EINTR;
inline constexpr int kInvalidArgument = EINVAL;
inline constexpr int kAlready = EALREADY;
inline constexpr int kAddressInUse = EADDRINUSE;
inline constexpr int kAddressNotAvailable = EADDRNOTAVAIL;
inline constexpr int kConnectionAborted = ECONNABORTED;
inline constexpr int kConnectionReset = ECONNRESET;
inline constexpr int kConnectionRefused = ECONNREFUSED;
inline constexpr int kBrokenPipe = EPIPE;
inline constexpr int kMessageTooLong = EMSGSIZE;
inline constexpr int kNoBuffers = ENOBUFS;
inline constexpr int kTooManyFiles = EMFILE;
inline constexpr int kNoMemory = ENOMEM;
inline constexpr int kIsDirectory = EISDIR;
#endif

// Errors of accept() after which a listener may still hand out the next
// connection (the peer gave up, a network hiccup, nothing there after all).
bool IsTransientAcceptError(int error);

// The system is short of descriptors, buffers or memory: worth a pause, not
// a give-up.
bool IsResourceShortage(int error);

}  // namespace kesto::errors
