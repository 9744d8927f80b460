#include "platform/errors.h"
#include "platform/format.h"
#include "platform/winsock.h"

namespace kesto {

std::string SystemErrorText(int error) {
  // Winsock and the rest of Windows share one message table.
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message = length > 0 ? Utf8FromWide(text) : std::string();
  if (text) LocalFree(text);
  // The table's texts end with a full stop and CR LF.
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.'))
    message.pop_back();
  return message.empty() ? Format("Unknown error %d", error) : message;
}

namespace errors {

static_assert(kTimedOut == WSAETIMEDOUT && kCanceled == WSAECANCELLED &&
              kWouldBlock == WSAEWOULDBLOCK && kInterrupted == WSAEINTR &&
              kInvalidArgument == WSAEINVAL && kAlready == WSAEALREADY &&
              kAddressInUse == WSAEADDRINUSE && kAddressNotAvailable == WSAEADDRNOTAVAIL &&
              kConnectionAborted == WSAECONNABORTED && kConnectionReset == WSAECONNRESET &&
              kConnectionRefused == WSAECONNREFUSED && kBrokenPipe == WSAESHUTDOWN &&
              kMessageTooLong == WSAEMSGSIZE && kNoBuffers == WSAENOBUFS &&
              kTooManyFiles == WSAEMFILE && kNoMemory == WSA_NOT_ENOUGH_MEMORY);

bool IsTransientAcceptError(int error) {
  switch (error) {
    case WSAEWOULDBLOCK:
    case WSAEINTR:
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAENETDOWN:
    case WSAENOPROTOOPT:
    case WSAEHOSTDOWN:
    case WSAEHOSTUNREACH:
    case WSAEOPNOTSUPP:
    case WSAENETUNREACH:
      return true;
    default:
      return false;
  }
}

bool IsResourceShortage(int error) {
  return error == WSAEMFILE || error == WSAENOBUFS || error == WSA_NOT_ENOUGH_MEMORY;
}

}  // namespace errors
}  // namespace kesto
