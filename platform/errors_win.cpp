#include "platform/errors.h"
#include "platform/winsock.h"

namespace kesto::errors {

static_assert(kTimedOut == WSAETIMEDOUT && kCanceled == WSAECANCELLED &&
              kWouldBlock == WSAEWOULDBLOCK && kInterrupted == WSAEINTR &&
              kInvalidArgument == WSAEINVAL && kAlready == WSAEALREADY &&
              kAddressInUse == WSAEADDRINUSE && kAddressNotAvailable == WSAEADDRNOTAVAIL &&
              kConnectionAborted == WSAECONNABORTED && kConnectionReset == WSAECONNRESET &&
              kConnectionRefused == WSAECONNREFUSED && kMessageTooLong == WSAEMSGSIZE &&
              kNoBuffers == WSAENOBUFS && kTooManyFiles == WSAEMFILE &&
              kNoMemory == WSA_NOT_ENOUGH_MEMORY);

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

}  // namespace kesto::errors
