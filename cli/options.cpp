#include "cli/options.h"

#include <charconv>

#include "platform/socket.h"

namespace kesto::cli {

const char* const kUsageText =
    R"(Usage: kesto-fw COMMAND [OPTIONS]

Finds KESTO devices on the local IPv4 network and writes firmware into them.

Commands:
  interfaces                 list the usable local interfaces, one per line
  search [--interface ADDR] [--json] [--verbose]
                             search the network of ADDR (default: the first
                             usable interface) and list the devices found
  write --device ADDR [--interface ADDR] [--any-file] [--yes] [--verbose] FILE
                             write the firmware image FILE into the device
                             at ADDR (found by a search first)

Options:
  --interface ADDR   local IPv4 address to work on (loopback allowed)
  --json             search: print every device as a JSON object, one per line
  --device ADDR      write: the device's IPv4 address as the search shows it
  --any-file         write: accept a file whose name does not fit the device kind
  --yes              write: do not ask for confirmation
  --verbose          print the search's reply count (and replies the system
                     dropped) and, for write, the protocol log to standard error
  --help, --version

Testing options (simulated devices on other ports):
  --discovery-port N, --query-port N, --update-port N

Exit status:
  0  success
  1  KESTO communication error (no or bad answer, authentication refused)
  2  firmware file error
  3  internal error (digest)
  4  the device did not connect back in time (firewall?)
  5  network error (the error number is in the message)
  6  the device was not found by the search
  7  refused: no listener possible, device in TMODE, or file name does not fit
  8  cancelled (not confirmed, or interrupted)
  9  no usable network interface, or --interface is not an address of this host
 64  usage error
)";

namespace {

bool ParsePort(const std::string& text, uint16_t& port) {
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535)
    return false;
  port = static_cast<uint16_t>(value);
  return true;
}

std::optional<Command> CommandNamed(const std::string& name) {
  if (name == "interfaces") return Command::kInterfaces;
  if (name == "search") return Command::kSearch;
  if (name == "write") return Command::kWrite;
  if (name == "--help" || name == "-h" || name == "help") return Command::kHelp;
  if (name == "--version") return Command::kVersion;
  return std::nullopt;
}

bool NeedsValue(const std::string& flag) {
  return flag == "--interface" || flag == "--device" || flag == "--discovery-port" ||
         flag == "--query-port" || flag == "--update-port";
}

bool ApplyValue(Options& options, const std::string& flag, const std::string& value,
                std::string& error) {
  if (flag == "--interface" || flag == "--device") {
    if (!ParseIpv4(value)) {
      error = "not an IPv4 address: " + value;
      return false;
    }
    (flag == "--interface" ? options.interfaceAddress : options.deviceAddress) = value;
    return true;
  }
  uint16_t* port = flag == "--discovery-port" ? &options.discoveryPort
                   : flag == "--query-port"   ? &options.queryPort
                                              : &options.updatePort;
  if (!ParsePort(value, *port)) {
    error = "not a port number: " + value;
    return false;
  }
  return true;
}

bool ApplyFlag(Options& options, const std::string& flag) {
  if (flag == "--json" && options.command == Command::kSearch) return options.json = true;
  if (options.command != Command::kWrite && options.command != Command::kSearch) return false;
  if (flag == "--verbose" || flag == "-v") return options.verbose = true;
  if (options.command != Command::kWrite) return false;
  if (flag == "--any-file") return options.anyFile = true;
  if (flag == "--yes" || flag == "-y") return options.yes = true;
  return false;
}

}  // namespace

std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string& error) {
  Options options;
  if (args.empty()) {
    error = "no command given";
    return std::nullopt;
  }
  const auto command = CommandNamed(args[0]);
  if (!command) {
    error = "unknown command: " + args[0];
    return std::nullopt;
  }
  options.command = *command;
  std::vector<std::string> positional;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      options.command = Command::kHelp;
      return options;
    }
    if (NeedsValue(arg)) {
      if (i + 1 >= args.size()) {
        error = arg + " needs a value";
        return std::nullopt;
      }
      if (!ApplyValue(options, arg, args[++i], error)) return std::nullopt;
    } else if (arg.size() > 1 && arg[0] == '-') {
      if (!ApplyFlag(options, arg)) {
        error = "unknown option for this command: " + arg;
        return std::nullopt;
      }
    } else {
      positional.push_back(arg);
    }
  }
  if (options.command == Command::kWrite) {
    if (options.deviceAddress.empty()) {
      error = "write needs --device ADDR";
      return std::nullopt;
    }
    if (positional.size() != 1) {
      error = "write needs exactly one firmware FILE";
      return std::nullopt;
    }
    options.firmwarePath = positional[0];
  } else if (!positional.empty()) {
    error = "unexpected argument: " + positional[0];
    return std::nullopt;
  }
  return options;
}

}  // namespace kesto::cli
