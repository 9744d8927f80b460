#pragma once

#include <string>
#include <vector>

namespace kesto {

inline constexpr int kIpProtocolTcp = 6;
inline constexpr int kFirewallAllProfiles = 0x7FFFFFFF;  // domain, private and public

// One inbound allow rule of the system's firewall for one program file.
struct FirewallRule {
  std::string name;
  std::string description;
  std::string grouping;  // rules of one product are listed together under this
  std::string program;   // full path, UTF-8
  int ipProtocol = kIpProtocolTcp;
  int profiles = kFirewallAllProfiles;
};

enum class FirewallOutcome { kDone, kUnsupported, kNotAdministrator, kFailed };

struct FirewallResult {
  FirewallOutcome outcome = FirewallOutcome::kDone;
  std::string detail;  // the system's reason after kFailed
};

// Replaces every rule of the same names with these rules: afterwards either
// all of them are in place or none of those names is.
FirewallResult AddFirewallRules(const std::vector<FirewallRule>& rules);

// Removes every rule of these names; none there is no failure.
FirewallResult RemoveFirewallRules(const std::vector<std::string>& names);

// The folder the running program file lies in.
std::string ProgramFolder();

}  // namespace kesto
