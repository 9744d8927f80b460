#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "update/update_run.h"

namespace kesto::cli {

// Exit statuses of kesto-fw. 1..4 are the write's result codes.
enum ExitStatus : int {
  kExitOk = 0,
  kExitNetworkError = 5,  // a socket error ended the write or the search
  kExitNotFound = 6,      // the device did not answer, or its information query failed
  kExitRefused = 7,       // a write check refused (listener port, TMODE, file name)
  kExitCancelled = 8,     // the operator did not confirm, or Ctrl+C
  kExitNoInterface = 9,   // no usable interface, or --interface is not this host's
  kExitNotBack = 10,      // --verify: the device did not answer again after its restart
  kExitFirewall = 11,     // firewall: not Windows, no administrator rights, or refused
  kExitUsage = 64,
};

inline constexpr int kMaxParallel = 16;
inline constexpr int kMaxRetries = 10;

enum class Command { kInterfaces, kSearch, kWrite, kFirewall };

struct Options {
  Command command = Command::kInterfaces;
  std::string interface;             // an address or an interface name; empty: by route
  std::vector<std::string> devices;  // dotted quads: --device, then each --device-list's
  std::vector<std::string> deviceLists;
  bool all = false;
  std::string firmwarePath;
  bool json = false;
  bool anyFile = false;
  bool yes = false;
  bool verbose = false;
  bool verify = false;
  int verifyTimeoutS = 60;
  uint16_t hostPort = 0;  // 0: the system chooses; else the first of --parallel ports
  int parallel = 1;       // devices written at once
  int retries = 0;        // further attempts after a device or network error
  std::string password = kUpdatePassword;
  std::string passwordFile;  // read into password once the command line is parsed
  std::string skipVersion;   // "1.26" as the device list shows it; empty: write every device
  std::string reportPath;    // --report: append a JSON line per device here
  DevicePorts ports;
  std::string firewallAction;  // add or remove
};

// Reads the command line into options. Returns -1 when a command is to run;
// otherwise the exit status after help or the version was shown (0) or a
// usage error was reported (kExitUsage).
int ParseCommandLine(int argc, char** argv, const std::string& version, Options& options);

}  // namespace kesto::cli
