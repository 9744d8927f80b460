#pragma once

#include "platform/net_types.h"

#include <optional>

#include "cli/options.h"
#include "discovery/discovery.h"

namespace kesto {
class StopSignal;
}

namespace kesto::cli {

int RunInterfaces(const Options& options);
int RunSearch(const Options& options, const StopSignal& stop);
int RunWrite(const Options& options, const StopSignal& stop);

// The local address to work on: --interface (an address of this host or an
// interface's name), else the one the routing table uses toward the device,
// else the first usable interface. 0, or the exit status after an error was
// printed.
int ChooseLocalAddress(const Options& options, std::optional<Ipv4Address> toward,
                       Ipv4Address& local);

DiscoveryOptions MakeDiscoveryOptions(const Options& options, Ipv4Address local,
                                      const StopSignal& stop);

}  // namespace kesto::cli
