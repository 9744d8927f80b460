// kesto-fw: the firmware writer on the command line. Same core as the window.
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/options.h"
#include "kesto/version.h"
#include "platform/stop_signal.h"
#include "platform/version_text.h"

namespace {

// Ctrl+C ends a running search or write through the same stop the window uses.
// A signal handler can reach nothing but a global; Trigger() only write()s.
kesto::StopSignal* g_interrupt = nullptr;

void OnInterrupt(int) {
  if (g_interrupt) g_interrupt->Trigger();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kesto::cli;
  // "kesto-fw help" as the earlier versions took it.
  std::vector<char*> arguments(argv, argv + argc);
  char helpFlag[] = "--help";
  if (argc == 2 && std::strcmp(argv[1], "help") == 0) arguments[1] = helpFlag;
  Options options;
  const std::string version =
      "kesto-fw " + kesto::VersionText(kesto::kVersionMajor, kesto::kVersionMinor,
                                       kesto::kVersionBuild, kesto::kVersionRevision);
  if (const int status =
          ParseCommandLine(static_cast<int>(arguments.size()), arguments.data(), version, options);
      status >= 0)
    return status;

  kesto::StopSignal stop;
  g_interrupt = &stop;
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  switch (options.command) {
    case Command::kInterfaces:
      return RunInterfaces(options);
    case Command::kSearch:
      return RunSearch(options, stop);
    case Command::kWrite:
      return RunWrite(options, stop);
  }
  return kExitUsage;
}
