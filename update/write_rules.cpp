#include "update/write_rules.h"

#include "platform/format.h"
#include "platform/socket.h"

namespace kesto {
namespace {

void Log(const std::function<void(std::string_view)>& log, std::string_view piece) {
  if (log) log(piece);
}

int LogFailure(const std::function<void(std::string_view)>& log, int error) {
  Log(log, Format("ERROR: %d\r\n", error));
  return kProbeFailed;
}

}  // namespace

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

std::string FileDialogFilter(std::string_view prefix, bool hiddenMode) {
  const std::string p(prefix);
  if (hiddenMode)
    return Format("Firmware file (%s*.bin)|%s*.bin|all files(*.*)|*.*||", p.c_str(), p.c_str());
  return Format("Firmware file (%s*.bin)|%s*.bin||", p.c_str(), p.c_str());
}

bool FileNameMatchesPrefix(std::string_view fileName, std::string_view prefix, bool hiddenMode) {
  if (hiddenMode) return true;
  // Only the name counts: a folder called "KS_N..." must not pass a foreign file.
  const size_t slash = fileName.rfind('/');
  if (slash != std::string_view::npos) fileName.remove_prefix(slash + 1);
  // A name shorter than the prefix stays whole and so cannot equal it.
  return fileName.substr(0, prefix.size()) == prefix;
}

std::string WriteConfirmationText(std::string_view firmwarePath) {
  return Format("%s を書き込みます。", std::string(firmwarePath).c_str());
}

int ProbeListenerPort(const std::string& localAddress,
                      const std::function<void(std::string_view)>& log) {
  int error = 0;
  Socket listener = Socket::Open(SOCK_STREAM, error);
  if (!listener.valid()) return LogFailure(log, error);

  Log(log, "ok\r\n");
  Log(log, Format("bind \"%s\":", localAddress.c_str()));
  const auto address = ParseIpv4(localAddress);
  if (!address) return LogFailure(log, errors::kAddressNotAvailable);
  if ((error = listener.Bind(MakeSocketAddress(*address, 0)))) return LogFailure(log, error);

  Log(log, "ok\r\n");
  Log(log, "getsockname :");
  sockaddr_in bound{};
  if ((error = listener.LocalAddress(bound))) return LogFailure(log, error);

  Log(log, Format("ok: localPort = %d\r\n", static_cast<int>(ntohs(bound.sin_port))));
  Log(log, "listen :");
  if ((error = listener.Listen(1))) return LogFailure(log, error);
  return 0;
}

}  // namespace kesto
