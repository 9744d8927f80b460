// CNG's failures: its NTSTATUS values, in ntdll's words.

#include <windows.h>

#include <string>

#include "platform/crypto_errors.h"
#include "platform/format.h"
#include "platform/wide_text.h"

namespace kesto {
namespace {

class NtStatusNumbers : public std::error_category {
 public:
  const char* name() const noexcept override { return "cng"; }
  std::string message(int number) const override {
    wchar_t* text = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                           FORMAT_MESSAGE_IGNORE_INSERTS,
                       GetModuleHandleW(L"ntdll.dll"), static_cast<DWORD>(number), 0,
                       reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = length > 0 ? Utf8FromWide(text) : std::string();
    if (text) LocalFree(text);
    // The table's texts end with a full stop and CR LF.
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.'))
      message.pop_back();
    return message.empty() ? Format("NTSTATUS 0x%08lX", static_cast<unsigned long>(number))
                           : message;
  }
};

}  // namespace

const std::error_category& CryptoCategory() {
  static const NtStatusNumbers category;
  return category;
}

}  // namespace kesto
