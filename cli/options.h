#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kesto::cli {

// Exit statuses of kesto-fw. 1..4 are the write's result codes.
enum ExitStatus : int {
  kExitOk = 0,
  kExitNetworkError = 5,  // a socket error ended the write or the search
  kExitNotFound = 6,      // the device did not answer the search
  kExitRefused = 7,       // a write check refused (listener, TMODE, file name)
  kExitCancelled = 8,     // the operator did not confirm, or Ctrl+C
  kExitNoInterface = 9,   // no usable interface, or --interface is not this host's
  kExitUsage = 64,
};

enum class Command { kNone, kHelp, kVersion, kInterfaces, kSearch, kWrite };

struct Options {
  Command command = Command::kNone;
  std::string interfaceAddress;  // empty: the first usable interface
  std::string deviceAddress;
  std::string firmwarePath;
  bool json = false;
  bool anyFile = false;
  bool yes = false;
  bool verbose = false;
  uint16_t discoveryPort = 30718;
  uint16_t queryPort = 9998;
  uint16_t updatePort = 3232;
};

// Parses argv[1..]; on a usage error returns nullopt with the reason in error.
std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string& error);

extern const char* const kUsageText;

}  // namespace kesto::cli
