#include "app/start_options.h"

#include <CLI/CLI.hpp>

#include "kesto/version.h"

namespace kesto::app {
namespace {

// Written out rather than CLI11's own, so that the manual page made from it
// reads the same on every build.
constexpr const char* kUsage =
    "Usage: kesto-fw-gui [--demo] [--host-port N]\n"
    "Finds KESTO devices on the local network and writes firmware into them.\n"
    "\n"
    "  --demo          start simulated devices on loopback and offer only 127.0.0.1 (lo)\n"
    "  --host-port N   the port (1-65535) the devices connect back to during a write,\n"
    "                  for a firewall rule; without it the system chooses one\n"
    "  -h, --help      show this help\n"
    "  --version       show the version\n";

}  // namespace

std::variant<StartOptions, StartEnding> ParseStartOptions(const std::vector<std::string>& arguments,
                                                          const std::string& versionText) {
  StartOptions options;
  CLI::App app;
  app.add_flag("--demo", options.demo);
  app.add_option("--host-port", options.hostPort)
      ->check(CLI::Range(1, 65535))
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.set_version_flag("--version", std::string(kApplicationName) + " " + versionText);
  // CLI11 takes the arguments last first.
  std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    return StartEnding{0, kUsage};
  } catch (const CLI::CallForVersion& version) {
    return StartEnding{0, std::string(version.what()) + "\n"};
  } catch (const CLI::ParseError& error) {
    return StartEnding{kUsageError, std::string("kesto-fw-gui: ") + error.what() + "\n\n" + kUsage};
  }
  return options;
}

}  // namespace kesto::app
