#include <filesystem>
#include <system_error>

#include "platform/firewall.h"

namespace kesto {

// The rules are the Windows firewall's; a Linux host's firewall (nftables,
// ufw) belongs to its administrator.
FirewallResult AddFirewallRules(const std::vector<FirewallRule>&) {
  return {FirewallOutcome::kUnsupported, {}};
}

FirewallResult RemoveFirewallRules(const std::vector<std::string>&) {
  return {FirewallOutcome::kUnsupported, {}};
}

std::string ProgramFolder() {
  std::error_code error;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : program.parent_path().string();
}

}  // namespace kesto
