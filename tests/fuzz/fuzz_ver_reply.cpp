// A VER reply as received (at most 256 bytes, any content), then the list
// entry its versions make.
#include <cstdint>
#include <string_view>

#include "discovery/device_list.h"
#include "discovery/device_query.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kesto;
  const std::string_view reply(reinterpret_cast<const char*>(data), size);
  const auto lines = SplitVerReply(reply);
  const std::string_view text = reply.substr(0, reply.find('\0'));
  const size_t firstCr = text.find('\r');
  const bool twoCrs =
      firstCr != std::string_view::npos && text.find('\r', firstCr + 1) != std::string_view::npos;
  KESTO_FUZZ_CHECK(lines.has_value() == twoCrs);
  if (!lines) return 0;
  KESTO_FUZZ_CHECK(lines->line1.size() <= 31 && lines->line2.size() <= 31);
  KESTO_FUZZ_CHECK(lines->line1.find('\r') == std::string::npos);
  KESTO_FUZZ_CHECK(lines->line2.find('\r') == std::string::npos);

  DeviceRecord record;
  record.sketchVersion = 12345;
  record.textVersion = 678;
  ApplyVerLines(*lines, record);
  if (lines->line1.find("SKETCH VER") == std::string::npos)
    KESTO_FUZZ_CHECK(record.sketchVersion == 12345);
  if (lines->line2.find("TEXT VER") == std::string::npos)
    KESTO_FUZZ_CHECK(record.textVersion == 678);
  record.addressText = "192.168.1.20";
  record.kind = KindFromLetter('L');
  const std::string entry = DeviceListEntry(record, record.textVersion);
  KESTO_FUZZ_CHECK(entry.starts_with("192.168.1.20 / "));
  WantsRssi(record);
  return 0;
}
