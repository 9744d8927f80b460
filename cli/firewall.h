#pragma once

#include <string>
#include <vector>

#include "cli/options.h"
#include "platform/firewall.h"

namespace kesto::cli {

// The inbound rules for the window and the command line lying in folder:
// the devices connect back to them during a write.
std::vector<FirewallRule> KestoFirewallRules(const std::string& folder);

// kesto-fw firewall add|remove, for the programs beside this one.
int RunFirewall(const Options& options);

}  // namespace kesto::cli
