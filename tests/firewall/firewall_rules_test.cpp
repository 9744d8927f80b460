#include <gtest/gtest.h>

#include "cli/firewall.h"

namespace kesto::cli {
namespace {

TEST(FirewallRules, AllowTcpInOnEveryProfileForBothProgramsOfTheFolder) {
  for (const std::string folder :
       {"C:\\Program Files\\KESTO firmware writer", "C:\\Program Files\\KESTO firmware writer\\"}) {
    const std::vector<FirewallRule> rules = KestoFirewallRules(folder);
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_EQ(rules[0].program, "C:\\Program Files\\KESTO firmware writer\\kesto-fw-gui.exe");
    EXPECT_EQ(rules[1].program, "C:\\Program Files\\KESTO firmware writer\\kesto-fw.exe");
    EXPECT_NE(rules[0].name, rules[1].name);  // removing one by name keeps the other
    for (const FirewallRule& rule : rules) {
      EXPECT_EQ(rule.ipProtocol, 6);
      EXPECT_EQ(rule.profiles, 0x7FFFFFFF);
    }
  }
}

}  // namespace
}  // namespace kesto::cli
