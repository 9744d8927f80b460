// An RSSI reply as received (at most 256 bytes, any content).
#include <cstdint>
#include <string_view>

#include "discovery/device_query.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kesto;
  const std::string_view reply(reinterpret_cast<const char*>(data), size);
  constexpr int32_t kUnset = 0x5a5a5a5a;
  int32_t rssi = kUnset;
  const bool ok = ApplyRssiReply(reply, rssi);
  const std::string_view text = reply.substr(0, reply.find('\0'));
  const size_t cr = text.find('\r');
  KESTO_FUZZ_CHECK(ok == (cr != std::string_view::npos));
  if (!ok || text.substr(0, cr).find("RSSI : ") == std::string_view::npos)
    KESTO_FUZZ_CHECK(rssi == kUnset);
  return 0;
}
