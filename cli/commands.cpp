#include "cli/commands.h"

#include <iostream>
#include <string>
#include <vector>

#include "cli/output.h"
#include "discovery/device_list.h"
#include "discovery/direct.h"
#include "net/interfaces.h"
#include "platform/socket.h"
#include "platform/stop_signal.h"
#include "texts/operator_texts.h"

namespace kesto::cli {

namespace {

// The host's interfaces could not be read: the operator gets the system's words.
int InterfacesUnreadable(const std::error_code& cause) {
  PrintError(NoInterfaceMessage(cause));
  return kExitNoInterface;
}

}  // namespace

int ChooseLocalAddress(const Options& options, std::optional<Ipv4Address> toward,
                       Ipv4Address& local) {
  if (!options.interface.empty()) {
    if (const auto address = ParseIpv4(options.interface)) {
      const Result<bool> own = IsHostAddress(*address);
      if (!own) return InterfacesUnreadable(own.error());
      if (!*own) {
        PrintError(options.interface + " is not an address of this host");
        return kExitNoInterface;
      }
      local = *address;
      return 0;
    }
    const Result<std::optional<Ipv4Address>> named = InterfaceAddressNamed(options.interface);
    if (!named) return InterfacesUnreadable(named.error());
    if (*named) {
      local = **named;
      return 0;
    }
    PrintError("no IPv4 address on an interface called " + options.interface);
    return kExitNoInterface;
  }
  // Without a route toward the device, the first interface's address.
  if (toward) {
    if (const Result<Ipv4Address> address = RouteLocalAddress(*toward)) {
      local = *address;
      return 0;
    }
  }
  const Result<InterfaceTable> table = EnumerateInterfaces();
  if (!table) return InterfacesUnreadable(table.error());
  if (table->empty()) {
    PrintError(kMessageNoInterface);
    return kExitNoInterface;
  }
  local = table->front().address;
  return 0;
}

DiscoveryOptions MakeDiscoveryOptions(const Options& options, Ipv4Address local,
                                      const StopSignal& stop) {
  DiscoveryOptions discovery;
  discovery.localAddress = local;
  discovery.discoveryPort = options.ports.discovery;
  discovery.query.localAddress = local;
  discovery.query.port = options.ports.query;
  discovery.query.stop = &stop;
  return discovery;
}

int RunInterfaces(const Options& options) {
  const Result<InterfaceTable> table = EnumerateInterfaces();
  if (!table) return InterfacesUnreadable(table.error());
  if (table->empty()) {
    PrintError(kMessageNoInterface);
    return kExitNoInterface;
  }
  for (const InterfaceRecord& record : *table) {
    if (options.json)
      PrintJsonLine(InterfaceJson(record));
    else
      std::cout << InterfaceEntryText(record) << '\n';
  }
  return kExitOk;
}

int RunSearch(const Options& options, const StopSignal& stop) {
  std::vector<Ipv4Address> addresses;
  for (const std::string& device : options.devices) addresses.push_back(*ParseIpv4(device));
  Ipv4Address local = 0;
  const auto toward = addresses.empty() ? std::nullopt : std::optional(addresses[0]);
  if (const int status = ChooseLocalAddress(options, toward, local)) return status;
  const DiscoveryOptions discovery = MakeDiscoveryOptions(options, local, stop);
  DeviceTable table;
  std::vector<DirectAnswer> answers;
  DiscoveryStats stats;
  const Result<int> found = addresses.empty()
                                ? DiscoverDevices(table, discovery, &stats)
                                : DiscoverDevicesAt(table, addresses, discovery, &answers, &stats);
  if (options.verbose && addresses.empty()) PrintSearchStats(stats);
  if (!found) {
    PrintError(SearchFailureText(local, found.error()));
    return kExitNetworkError;
  }
  if (stop.Triggered()) return kExitCancelled;
  ReportPhase(discovery, SearchPhase::kListing);
  const std::vector<std::string> entries = BuildDeviceList(table, *found, discovery.query);
  for (size_t i = 0; i < entries.size(); ++i) {
    if (options.json)
      PrintJsonLine(DeviceJson(table.records[i], entries[i]));
    else
      std::cout << entries[i] << '\n';
  }
  int status = kExitOk;
  for (size_t i = 0; i < answers.size(); ++i) {
    if (answers[i] == DirectAnswer::kRecorded) continue;
    PrintError(options.devices[i] + (answers[i] == DirectAnswer::kNoAnswer
                                         ? " did not answer"
                                         : " answered, but its information query failed"));
    status = kExitNotFound;
  }
  if (*found == 0 && addresses.empty() && !options.json) PrintError("no device found");
  return status;
}

}  // namespace kesto::cli
