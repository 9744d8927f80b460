#include "update/write_rules.h"

namespace kesto {

std::string FilePrefixForKind(int32_t kind) {
  switch (kind) {
    case kKindWiFi:
      return "KESTOWiFi";
    case kKindWireless:
    case kKindBoard:
      return "KS_N";
    case kKindPq:
      return "PQ";
    default:
      return {};
  }
}

bool IsRefusedForTmode(const DeviceRecord& record) {
  return (record.kind == kKindWireless || record.kind == kKindBoard) &&
         record.idValue == kTmodeIdValue;
}

bool FileNameMatchesPrefix(std::string_view fileName, std::string_view prefix, bool hiddenMode) {
  if (hiddenMode) return true;
  // Only the name counts: a folder called "KS_N..." must not pass a foreign file.
  const size_t slash = fileName.rfind('/');
  if (slash != std::string_view::npos) fileName.remove_prefix(slash + 1);
  // A name shorter than the prefix stays whole and so cannot equal it.
  return fileName.substr(0, prefix.size()) == prefix;
}

}  // namespace kesto
