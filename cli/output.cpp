#include "cli/output.h"

#include <iostream>

#include "discovery/device_list.h"
#include "platform/format.h"
#include "platform/socket.h"
#include "texts/line_breaks.h"

namespace kesto::cli {

std::string ForTerminal(std::string_view text) {
  return WithLineBreaks(text, "\n");
}

std::string PrintableLog(std::string_view piece) {
  std::string out;
  out.reserve(piece.size());
  for (const char c : piece) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\r' && c != '\n' && c != '\t') || byte == 0x7f)
      out += Format("\\x%02x", byte);
    else if (c != '\r')
      out += c;
  }
  return out;
}

void PrintError(const std::string& text) {
  std::cerr << "kesto-fw: " << ForTerminal(text) << '\n';
}

void PrintSearchStats(const DiscoveryStats& stats) {
  std::cerr << Format("search: %d replies read, %u dropped by the system\n", stats.datagrams,
                      stats.kernelDrops);
}

std::string SearchFailureText(Ipv4Address local, const std::error_code& error) {
  return Format("the search on %s failed: error %d (%s)", Ipv4Text(local).c_str(), error.value(),
                error.message().c_str());
}

void PrintJsonLine(const nlohmann::ordered_json& object) {
  std::cout << object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n'
            << std::flush;
}

std::string VersionTextOf(const DeviceRecord& record) {
  return Format("%1.2f", static_cast<double>(DisplayVersion(record.sketchVersion)));
}

nlohmann::ordered_json DeviceJson(const DeviceRecord& record, const std::string& entry) {
  return {{"replyAddress", Ipv4Text(record.replyAddress.sin_addr.s_addr)},
          {"replyPort", ntohs(record.replyAddress.sin_port)},
          {"hardwareAddress", HardwareAddressText(record.hardwareAddress)},
          {"addressText", record.addressText},
          {"replyByte5High", record.replyByte5High},
          {"replyByte6High", record.replyByte6High},
          {"replyByte8", record.replyByte8},
          {"kindLetter", std::string(1, record.kindLetter)},
          {"sketchVersion", record.sketchVersion},
          {"textVersion", record.textVersion},
          {"kind", record.kind},
          {"modelId", record.modelId},
          {"idValue", record.idValue},
          {"model", ModelName(record.kind, record.modelId)},
          {"version", VersionTextOf(record)},
          {"entry", entry}};
}

nlohmann::ordered_json InterfaceJson(const InterfaceRecord& record) {
  return {{"address", Ipv4Text(record.address)},
          {"name", record.friendlyName},
          {"mask", Ipv4Text(record.mask)}};
}

}  // namespace kesto::cli
