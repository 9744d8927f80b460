// A DUMP reply as received (at most 4096 bytes, any content), then what the
// list and the write checks make of its model and ID.
#include <cstdint>
#include <string_view>

#include "discovery/device_list.h"
#include "discovery/device_query.h"
#include "fuzz_check.h"
#include "update/write_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kesto;
  const std::string_view dump(reinterpret_cast<const char*>(data), size);
  const DumpValues values = ParseDump(dump);
  const std::string_view text = dump.substr(0, dump.find('\0'));
  if (text.find("MODEL") == std::string_view::npos || text.find("ID") == std::string_view::npos)
    KESTO_FUZZ_CHECK(values.modelId == 0 && values.idValue == 0);

  // Every kind with the dump's numbers: the model tables are indexed by them.
  for (const char letter : {'B', 'L', 'T', 'W', 'X'}) {
    DeviceRecord record;
    record.addressText = "10.0.0.7";
    record.kind = KindFromLetter(letter);
    record.modelId = values.modelId;
    record.idValue = values.idValue;
    record.sketchVersion = values.idValue;
    const std::string name = ModelName(record.kind, record.modelId);
    const std::string entry = DeviceListEntry(record, values.modelId);
    KESTO_FUZZ_CHECK(entry.find(name) != std::string::npos);
    IsRefusedForTmode(record);
    FilePrefixForKind(record.kind);
  }
  return 0;
}
