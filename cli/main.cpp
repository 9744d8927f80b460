// kesto-fw: the firmware writer on the command line. Same core as the window.
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/firewall.h"
#include "cli/options.h"
#include "kesto/version.h"
#include "platform/process.h"
#include "platform/stop_signal.h"
#include "platform/version_text.h"

int main(int argc, char** argv) {
  using namespace kesto::cli;
  kesto::UseUtf8Console();
  // The arguments as UTF-8 on every system, file names included.
  std::vector<std::string> texts{argc > 0 ? argv[0] : "kesto-fw"};
  for (std::string& text : kesto::ProgramArguments(argc, argv)) texts.push_back(std::move(text));
  // "kesto-fw help" as the earlier versions took it.
  if (texts.size() == 2 && texts[1] == "help") texts[1] = "--help";
  std::vector<char*> arguments;
  for (std::string& text : texts) arguments.push_back(text.data());
  Options options;
  const std::string version =
      "kesto-fw " + kesto::VersionText(kesto::kVersionMajor, kesto::kVersionMinor,
                                       kesto::kVersionBuild, kesto::kVersionRevision);
  if (const int status =
          ParseCommandLine(static_cast<int>(arguments.size()), arguments.data(), version, options);
      status >= 0)
    return status;

  // Ctrl+C ends a running search or write through the same stop the window uses.
  kesto::StopSignal stop;
  kesto::StopOnInterrupt(stop);

  switch (options.command) {
    case Command::kInterfaces:
      return RunInterfaces(options);
    case Command::kSearch:
      return RunSearch(options, stop);
    case Command::kWrite:
      return RunWrite(options, stop);
    case Command::kFirewall:
      return RunFirewall(options);
  }
  return kExitUsage;
}
