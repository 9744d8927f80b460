#include "cli/options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <memory>

#include "cli/device_list.h"
#include "platform/files.h"
#include "platform/format.h"
#include "platform/socket.h"

namespace kesto::cli {
namespace {

constexpr const char* kExitStatusText = R"(
Exit status:
  0  success (every device, when several are written)
  1  KESTO communication error (no or bad answer, authentication refused)
  2  firmware file error (missing, unreadable or empty image)
  3  internal error (digest)
  4  the device did not connect back in time (firewall?)
  5  network error (the error number is in the message)
  6  the device did not answer, or its information query failed
  7  refused: listener port not available, device in TMODE, or file name does not fit
  8  cancelled (not confirmed, no terminal for the question, or interrupted)
  9  no usable network interface, or --interface is not this host's
 10  --verify: the device did not answer again after its restart
 11  firewall: not on Windows, no administrator rights, or the firewall refused
 64  usage error
With several devices, the status of the first one that failed in the order
given; after Ctrl+C, 8.)";

constexpr const char* kRolloutText = R"(
Rollouts:
  --device-list FILE: one IPv4 address a line; blank lines, spaces and text
  after '#' are ignored. A bad line or an unreadable file ends the run (64)
  before anything is sent. With --skip-version VER the same command can run
  again after a partial failure: devices reporting VER already are skipped.
  --report FILE: one JSON object a line per device, appended and synced as
  each finishes; time (UTC), host, user, interface and imageSha256 besides
  the --json fields. Read it with jq, e.g. the failures, or CSV for a sheet:
    jq -c 'select(.result != 0)' r.jsonl
    jq -r '[.time,.host,.user,.interface,.address,.model,.versionBefore,.result,.skipped,.message,.imageSha256] | @csv' r.jsonl
)";

const CLI::Validator kIpv4(
    [](const std::string& text) {
      return ParseIpv4(text) ? std::string() : "not an IPv4 address: " + text;
    },
    "ADDR");

void AddNetworkOptions(CLI::App& command, Options& options) {
  command
      .add_option("--interface", options.interface,
                  "local IPv4 address or interface name to work on (loopback allowed); default: "
                  "the address the routing table uses toward the device, else the first usable "
                  "interface")
      ->type_name("ADDR|NAME");
  const char* testing = "Testing (simulated devices on other ports)";
  command.add_option("--discovery-port", options.ports.discovery)
      ->check(CLI::Range(1, 65535).description(""))
      ->group(testing);
  command.add_option("--query-port", options.ports.query)
      ->check(CLI::Range(1, 65535).description(""))
      ->group(testing);
  command.add_option("--update-port", options.ports.update)
      ->check(CLI::Range(1, 65535).description(""))
      ->group(testing);
}

// The first line of the file, without its line end; an empty one is no
// password. Non-blocking, so a pipe in the file's place cannot hang the start.
std::string ReadPasswordFile(const std::string& path, std::string& problem) {
  const Result<OwnedFile> opened = OpenFileForReading(path);
  if (!opened) {
    problem = opened.error().message();
    return {};
  }
  std::array<char, 4096> buffer{};
  const size_t got = std::fread(buffer.data(), 1, buffer.size(), opened->get());
  if (std::ferror(opened->get())) {
    problem = SystemErrorText(errno);
    return {};
  }
  std::string line(buffer.data(), got);
  line = line.substr(0, line.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) problem = "no password on its first line";
  return line;
}

// "1.26", "1.2" or "2" as "1.26", "1.20", "2.00": the version as the device
// list shows it. Empty for anything else.
std::string VersionAsListed(const std::string& text) {
  const size_t dot = text.find('.');
  const std::string whole = text.substr(0, dot);
  const std::string hundredths = dot == std::string::npos ? "" : text.substr(dot + 1);
  const auto digits = [](const std::string& part) {
    return part.find_first_not_of("0123456789") == std::string::npos;
  };
  if (whole.empty() || whole.size() > 6 || !digits(whole) || !digits(hundredths) ||
      hundredths.size() > 2 || (dot != std::string::npos && hundredths.empty()))
    return {};
  return Format(
      "%d.%02d", std::stoi(whole),
      hundredths.empty() ? 0 : std::stoi(hundredths + std::string(2 - hundredths.size(), '0')));
}

}  // namespace

int ParseCommandLine(int argc, char** argv, const std::string& version, Options& options) {
  CLI::App app("Finds KESTO devices on the local IPv4 network and writes firmware into them.",
               "kesto-fw");
  // Options are "--name" everywhere; on Windows CLI11 would also take "/name",
  // and with it a file path such as "/fw/KS_N.bin" for an unknown option.
  app.allow_windows_style_options(false);
  app.set_version_flag("--version", version);
  app.require_subcommand(1);
  app.footer(kExitStatusText);

  CLI::App* interfaces = app.add_subcommand("interfaces", "list the usable local interfaces");
  interfaces->add_flag("--json", options.json, "one JSON object per interface and line");
  AddNetworkOptions(*interfaces, options);

  CLI::App* search = app.add_subcommand(
      "search", "search the network of the interface and list the devices found");
  search->add_flag("--json", options.json, "one JSON object per device and line");
  search->add_flag("-v,--verbose", options.verbose,
                   "print the replies read (and those the system dropped) to standard error");
  search
      ->add_option("--device", options.devices,
                   "ask only this address, directly instead of by broadcast (repeatable)")
      ->check(kIpv4)
      ->allow_extra_args(false)
      ->type_name("ADDR");
  search
      ->add_option("--device-list", options.deviceLists,
                   "ask only the addresses in FILE, one a line (repeatable)")
      ->allow_extra_args(false)
      ->type_name("FILE");
  AddNetworkOptions(*search, options);

  CLI::App* write = app.add_subcommand("write", "write the firmware image FILE into devices");
  write->footer(std::string(kRolloutText) + kExitStatusText);
  CLI::Option* device =
      write
          ->add_option("--device", options.devices,
                       "the device's IPv4 address (repeatable); found by the broadcast search, "
                       "else asked directly")
          ->check(kIpv4)
          ->allow_extra_args(false)  // --device ADDR FILE: the file is no second address
          ->type_name("ADDR");
  CLI::Option* lists =
      write
          ->add_option("--device-list", options.deviceLists,
                       "the devices' addresses from FILE, one a line, after those of --device; "
                       "blank lines and '#' comments are ignored, a repeated address is written "
                       "once (repeatable)")
          ->allow_extra_args(false)
          ->type_name("FILE");
  write->add_flag("--all", options.all, "every device found whose file-name prefix fits FILE")
      ->excludes(device)
      ->excludes(lists);
  write
      ->add_option("--skip-version", options.skipVersion,
                   "do not write a device that reports this version already (as the device list "
                   "shows it, e.g. 1.26); it counts as a success, marked skipped")
      ->type_name("VER");
  write
      ->add_option("--report", options.reportPath,
                   "append one JSON line per device to FILE as each finishes: the --json object "
                   "with time (UTC), host, user, interface and imageSha256")
      ->type_name("FILE");
  write->add_flag("--any-file", options.anyFile, "accept a file whose name does not fit the kind");
  write->add_flag("-y,--yes", options.yes, "do not ask for confirmation");
  write->add_flag("-v,--verbose", options.verbose,
                  "print the search's reply count and each write's log to standard error");
  write->add_flag("--json", options.json, "one JSON object per device and line on standard output");
  write
      ->add_option("--host-port", options.hostPort,
                   "the port the device connects back to, for a firewall rule (default: any); "
                   "with --parallel K the ports N to N+K-1")
      ->check(CLI::Range(1, 65535).description(""))
      ->type_name("N");
  write
      ->add_option("--parallel", options.parallel,
                   "write up to K devices at once, each with its own listener (1)")
      ->check(CLI::Range(1, kMaxParallel).description(""))
      ->type_name("K");
  write
      ->add_option("--retries", options.retries,
                   "try a write that ended with a device or network error up to R more times (0)")
      ->check(CLI::Range(0, kMaxRetries).description(""))
      ->type_name("R");
  CLI::Option* password = write->add_option(
      "--password", options.password,
      "the update password (default: built in); other users of this PC can read it in the "
      "process list, --password-file cannot");
  write
      ->add_option("--password-file", options.passwordFile,
                   "read the update password from the first line of this file")
      ->excludes(password)
      ->type_name("FILE");
  write->add_flag("--verify", options.verify,
                  "after a success, wait until the device answers again and show its version");
  write->add_option("--verify-timeout", options.verifyTimeoutS, "how long --verify waits (60)")
      ->check(CLI::Range(1, 3600).description(""))
      ->type_name("S");
  AddNetworkOptions(*write, options);
  write->add_option("FILE", options.firmwarePath, "the firmware image (.bin)")->required();

  CLI::App* firewall = app.add_subcommand(
      "firewall",
      "Windows, as administrator: add or remove the inbound rules for kesto-fw-gui.exe and "
      "kesto-fw.exe in this program's folder");
  firewall->add_option("ACTION", options.firewallAction, "add or remove")
      ->check(CLI::IsMember({"add", "remove"}))
      ->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error);
    return status == 0 ? 0 : kExitUsage;
  }
  const auto usage = [](const std::string& problem) {
    std::cerr << "kesto-fw: " << problem << "\nRun with --help for more information.\n";
    return kExitUsage;
  };
  for (const std::string& list : options.deviceLists) {
    std::string problem;
    if (!ReadDeviceListFile(list, options.devices, problem))
      return usage("--device-list " + problem);
  }
  if (*write && !options.skipVersion.empty()) {
    const std::string listed = VersionAsListed(options.skipVersion);
    if (listed.empty())
      return usage("--skip-version " + options.skipVersion + ": not a version such as 1.26");
    options.skipVersion = listed;
  }
  // A repeated address is one device, asked and written once, where it first appears.
  std::vector<std::string> unique;
  for (const std::string& address : options.devices)
    if (std::find(unique.begin(), unique.end(), address) == unique.end()) unique.push_back(address);
  options.devices = std::move(unique);
  if (options.devices.empty() && !options.deviceLists.empty())
    return usage("--device-list: no device address in the list");
  if (*write && options.devices.empty() && !options.all) {
    return usage("write needs --device ADDR, --device-list FILE or --all");
  }
  if (options.hostPort != 0 && options.hostPort + options.parallel - 1 > 65535) {
    std::cerr << "kesto-fw: --host-port " << options.hostPort << " with --parallel "
              << options.parallel << " reaches past port 65535\n";
    return kExitUsage;
  }
  if (!options.passwordFile.empty()) {
    std::string problem;
    options.password = ReadPasswordFile(options.passwordFile, problem);
    if (!problem.empty()) {
      std::cerr << "kesto-fw: --password-file " << options.passwordFile << ": " << problem
                << "\nRun with --help for more information.\n";
      return kExitUsage;
    }
  }
  options.command = *write      ? Command::kWrite
                    : *search   ? Command::kSearch
                    : *firewall ? Command::kFirewall
                                : Command::kInterfaces;
  return -1;
}

}  // namespace kesto::cli
