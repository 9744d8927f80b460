#include "cli/firewall.h"

#include <iostream>

namespace kesto::cli {
namespace {

constexpr const char* kGrouping = "KESTO firmware writer";

std::string InFolder(const std::string& folder, const char* file) {
  if (folder.empty() || folder.back() == '\\' || folder.back() == '/') return folder + file;
  return folder + '\\' + file;
}

std::vector<std::string> NamesOf(const std::vector<FirewallRule>& rules) {
  std::vector<std::string> names;
  for (const FirewallRule& rule : rules) names.push_back(rule.name);
  return names;
}

}  // namespace

std::vector<FirewallRule> KestoFirewallRules(const std::string& folder) {
  std::vector<FirewallRule> rules;
  for (const char* program : {"kesto-fw-gui", "kesto-fw"}) {
    FirewallRule rule;
    rule.name = std::string(kGrouping) + " (" + program + ")";
    rule.description = "Lets KESTO devices connect back to " + std::string(program) +
                       ".exe while it writes their firmware.";
    rule.grouping = kGrouping;
    rule.program = InFolder(folder, (std::string(program) + ".exe").c_str());
    rules.push_back(std::move(rule));
  }
  return rules;
}

int RunFirewall(const Options& options) {
  const bool add = options.firewallAction == "add";
  const std::vector<FirewallRule> rules = KestoFirewallRules(ProgramFolder());
  const FirewallResult result = add ? AddFirewallRules(rules) : RemoveFirewallRules(NamesOf(rules));
  const std::string command = "kesto-fw firewall " + options.firewallAction;
  switch (result.outcome) {
    case FirewallOutcome::kDone:
      for (const FirewallRule& rule : rules)
        std::cout << (add ? "added: " : "removed: ") << rule.name << " (TCP in, " << rule.program
                  << ")\n";
      return kExitOk;
    case FirewallOutcome::kUnsupported:
      std::cerr << command
                << ": only for the Windows firewall; on this system allow incoming TCP "
                   "connections to kesto-fw in the host's own firewall\n";
      break;
    case FirewallOutcome::kNotAdministrator:
      std::cerr << command
                << ": needs administrator rights (a Command Prompt opened with \"Run as "
                   "administrator\"); nothing was changed\n";
      break;
    case FirewallOutcome::kFailed:
      std::cerr << command << ": the firewall refused the change (" << result.detail
                << "); nothing was changed\n";
      break;
  }
  return kExitFirewall;
}

}  // namespace kesto::cli
