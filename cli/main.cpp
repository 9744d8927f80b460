// kesto-fw: the firmware writer on the command line. Same core as the window.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "app/operator_texts.h"
#include "cli/options.h"
#include "discovery/device_list.h"
#include "discovery/discovery.h"
#include "kesto/version.h"
#include "net/interfaces.h"
#include "platform/files.h"
#include "platform/format.h"
#include "platform/process.h"
#include "platform/socket.h"
#include "platform/stop_signal.h"
#include "platform/version_text.h"
#include "update/result.h"
#include "update/update_run.h"
#include "update/write_rules.h"

namespace kesto::cli {
namespace {

// Message texts carry "\r\n" line ends; a terminal wants "\n".
std::string ForTerminal(std::string text) {
  for (size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
  return text;
}

// Device bytes reach the log ("Bad Answer: ..."); a terminal must not receive
// their control characters as escape sequences.
std::string PrintableLog(std::string_view piece) {
  std::string out;
  out.reserve(piece.size());
  for (const char c : piece) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\r' && c != '\n' && c != '\t') || byte == 0x7f)
      out += Format("\\x%02x", byte);
    else
      out += c;
  }
  return out;
}

void PrintError(const std::string& text) {
  std::cerr << "kesto-fw: " << ForTerminal(text) << '\n';
}

struct LocalAddress {
  std::string text;
  Ipv4Address address = 0;
};

// The --interface address, or the first usable interface.
std::optional<LocalAddress> ChooseLocalAddress(const Options& options) {
  if (options.interfaceAddress.empty()) {
    const InterfaceTable table = EnumerateInterfaces();
    if (table.empty()) {
      PrintError(kMessageNoInterface);
      return std::nullopt;
    }
    return LocalAddress{Ipv4Text(table[0].address), table[0].address};
  }
  const Ipv4Address address = *ParseIpv4(options.interfaceAddress);
  if (!IsHostAddress(address)) {
    PrintError(options.interfaceAddress + " is not an address of this host");
    return std::nullopt;
  }
  return LocalAddress{options.interfaceAddress, address};
}

DiscoveryOptions MakeDiscoveryOptions(const Options& options, const LocalAddress& local,
                                      const StopSignal& stop) {
  DiscoveryOptions discovery;
  discovery.localAddress = local.address;
  discovery.discoveryPort = options.discoveryPort;
  discovery.query.localAddress = local.address;
  discovery.query.port = options.queryPort;
  discovery.query.stop = &stop;
  return discovery;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte >= 0x7f) {
      out += Format("\\u%04x", byte);
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string DeviceJson(const DeviceRecord& record, const std::string& entry) {
  const auto& mac = record.hardwareAddress;
  return Format(
      "{\"replyAddress\":%s,\"replyPort\":%u,\"hardwareAddress\":\"%02X-%02X-%02X-%02X-%02X-%02X\","
      "\"addressText\":%s,\"replyByte5High\":%u,\"replyByte6High\":%u,\"replyByte8\":%u,"
      "\"kindLetter\":%s,\"sketchVersion\":%d,\"textVersion\":%d,\"kind\":%d,\"modelId\":%d,"
      "\"idValue\":%d,\"entry\":%s}",
      JsonString(Ipv4Text(record.replyAddress.sin_addr.s_addr)).c_str(),
      static_cast<unsigned>(ntohs(record.replyAddress.sin_port)), mac[0], mac[1], mac[2], mac[3],
      mac[4], mac[5], JsonString(record.addressText).c_str(), record.replyByte5High,
      record.replyByte6High, record.replyByte8,
      JsonString(std::string_view(&record.kindLetter, 1)).c_str(), record.sketchVersion,
      record.textVersion, record.kind, record.modelId, record.idValue, JsonString(entry).c_str());
}

int RunInterfaces() {
  const InterfaceTable table = EnumerateInterfaces();
  if (table.empty()) {
    PrintError(kMessageNoInterface);
    return kExitNoInterface;
  }
  for (const InterfaceRecord& record : table) std::cout << InterfaceEntryText(record) << '\n';
  return kExitOk;
}

int RunSearch(const Options& options, const StopSignal& stop) {
  const auto local = ChooseLocalAddress(options);
  if (!local) return kExitNoInterface;
  const DiscoveryOptions discovery = MakeDiscoveryOptions(options, *local, stop);
  DeviceTable table;
  const int found = DiscoverDevices(table, discovery);
  if (found < 0) {
    PrintError("the search on " + local->text + " failed");
    return kExitNetworkError;
  }
  if (stop.Triggered()) return kExitCancelled;
  const std::vector<std::string> entries = BuildDeviceList(table, found, discovery.query);
  for (size_t i = 0; i < entries.size(); ++i) {
    if (options.json)
      std::cout << DeviceJson(table.records[i], entries[i]) << '\n';
    else
      std::cout << entries[i] << '\n';
  }
  if (found == 0 && !options.json) std::cerr << "kesto-fw: no device found\n";
  return kExitOk;
}

bool Confirm(const std::string& question) {
  std::cerr << ForTerminal(question) << " [y/N] " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return answer == "y" || answer == "Y" || answer == "yes";
}

// A progress bar on a terminal, plain lines elsewhere; one output per change.
class ProgressPrinter {
 public:
  explicit ProgressPrinter(bool terminal) : terminal_(terminal) {}
  ~ProgressPrinter() {
    if (terminal_ && last_ >= 0) std::cerr << '\n';
  }
  void Show(int percent) {
    if (percent == last_) return;
    last_ = percent;
    if (!terminal_) {
      // A log file wants a few lines, not one per percent.
      if (percent / 10 != lastLine_ / 10 || percent == 100) {
        lastLine_ = percent;
        std::cerr << "progress " << percent << "%\n";
      }
      return;
    }
    const int filled = percent * 40 / 100;
    std::cerr << '\r' << '[' << std::string(static_cast<size_t>(filled), '#')
              << std::string(static_cast<size_t>(40 - filled), ' ') << "] " << percent << '%'
              << std::flush;
  }

 private:
  bool terminal_;
  int last_ = -1;
  int lastLine_ = -10;
};

int ExitStatusFor(const WriteOutcome& outcome) {
  switch (outcome.result) {
    case WriteResult::kNetworkError:
      return kExitNetworkError;
    case WriteResult::kCancelled:
      return kExitCancelled;
    default:
      return static_cast<int>(outcome.result);  // the window's codes 0..4
  }
}

// The checks the window makes before a write, then the write itself.
int RunWrite(const Options& options, const StopSignal& stop) {
  const auto local = ChooseLocalAddress(options);
  if (!local) return kExitNoInterface;
  const DiscoveryOptions discovery = MakeDiscoveryOptions(options, *local, stop);
  DeviceTable table;
  const int found = DiscoverDevices(table, discovery);
  const DeviceRecord* device = nullptr;
  for (int i = 0; i < found; ++i)
    if (table.records[static_cast<size_t>(i)].addressText == options.deviceAddress) {
      device = &table.records[static_cast<size_t>(i)];
      break;
    }
  if (stop.Triggered()) return kExitCancelled;
  if (!device) {
    PrintError("device " + options.deviceAddress + " was not found on the network of " +
               local->text + "; nothing was sent");
    return kExitNotFound;
  }

  const auto log = [&](std::string_view piece) {
    if (options.verbose) std::cerr << PrintableLog(piece) << std::flush;
  };
  if (ProbeListenerPort(local->text, 0, log) != 0) {
    PrintError(kMessageFirewall);
    return kExitRefused;
  }
  if (IsRefusedForTmode(*device)) {
    PrintError(kMessageTmode);
    return kExitRefused;
  }
  if (!RegularFileSize(options.firmwarePath)) {
    PrintError("cannot open the firmware file " + options.firmwarePath);
    return static_cast<int>(WriteResult::kFileError);
  }
  const std::string prefix = FilePrefixForKind(device->kind);
  if (!FileNameMatchesPrefix(FileNameOf(options.firmwarePath), prefix, options.anyFile)) {
    PrintError(std::string(kMessageWrongFile) + " (expected a name beginning with \"" + prefix +
               "\")");
    return kExitRefused;
  }
  if (!options.yes && !Confirm(WriteConfirmationText(options.firmwarePath))) return kExitCancelled;

  UpdateRequest request;
  request.deviceAddress = device->addressText;
  request.localAddress = local->text;
  request.devicePort = options.updatePort;
  request.firmwarePath = options.firmwarePath;
  ProgressPrinter progress(StandardErrorIsTerminal() && !options.verbose);
  UpdateHooks hooks;
  hooks.log = log;
  hooks.progress = [&](int percent) { progress.Show(percent); };
  hooks.stop = &stop;
  const WriteOutcome outcome = RunUpdate(request, hooks);
  std::cout << ForTerminal(ResultMessage(outcome)) << '\n';
  return ExitStatusFor(outcome);
}

std::string ProgramVersion() {
  return "kesto-fw " + VersionText(kVersionMajor, kVersionMinor, kVersionBuild, kVersionRevision);
}

}  // namespace
}  // namespace kesto::cli

int main(int argc, char** argv) {
  using namespace kesto::cli;
  std::string error;
  kesto::UseUtf8Console();
  const auto options = ParseOptions(kesto::ProgramArguments(argc, argv), error);
  if (!options) {
    std::cerr << "kesto-fw: " << error << "\nTry 'kesto-fw --help'.\n";
    return kExitUsage;
  }
  // Ctrl+C ends a running search or write through the same stop the window uses.
  kesto::StopSignal stop;
  kesto::StopOnInterrupt(stop);

  switch (options->command) {
    case Command::kHelp:
      std::cout << kUsageText;
      return kExitOk;
    case Command::kVersion:
      std::cout << ProgramVersion() << '\n';
      return kExitOk;
    case Command::kInterfaces:
      return RunInterfaces();
    case Command::kSearch:
      return RunSearch(*options, stop);
    case Command::kWrite:
      return RunWrite(*options, stop);
    case Command::kNone:
      break;
  }
  return kExitUsage;
}
