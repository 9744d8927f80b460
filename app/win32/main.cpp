// kesto-fw-gui.exe: the window of the firmware writer for Windows.
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <CLI/CLI.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "app/demo.h"
#include "app/win32/dialog_front_end.h"
#include "app/win32/firmware_writer_window.h"
#include "app/win32/version_resource.h"
#include "kesto/version.h"
#include "platform/process.h"
#include "platform/wide_text.h"

namespace {

using namespace kesto;
using namespace kesto::app;

constexpr int kUsageError = 64;

struct StartOptions {
  bool demo = false;
  uint16_t hostPort = 0;
};

void Tell(const std::string& text) {
  MessageBoxW(nullptr, ControlText(text).c_str(), WideFromUtf8(kApplicationName).c_str(), MB_OK);
}

// The options, or the exit status when the program ends here (help, version,
// a bad option: each told in a message box, since there is no console).
std::variant<StartOptions, int> ParseStartOptions(const std::vector<std::string>& arguments) {
  StartOptions options;
  CLI::App app("Finds KESTO devices on the local network and writes firmware into them.",
               "kesto-fw-gui");
  app.add_flag("--demo", options.demo,
               "start simulated devices on loopback and offer only 127.0.0.1 (lo)");
  app.add_option("--host-port", options.hostPort,
                 "the port the devices connect back to during a write, for a firewall rule; "
                 "without it the system chooses one")
      ->check(CLI::Range(1, 65535));
  app.set_version_flag("--version", std::string(kApplicationName) + " " + OwnVersionText());
  std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    Tell(app.help());
    return 0;
  } catch (const CLI::CallForVersion& version) {
    Tell(version.what());
    return 0;
  } catch (const CLI::ParseError& error) {
    Tell(std::string("kesto-fw-gui: ") + error.what() + "\n\n" + app.help());
    return kUsageError;
  }
  return options;
}

int Run(const StartOptions& options) {
  const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);

  WindowSetup setup;
  setup.hostPort = options.hostPort;
  setup.versionText = OwnVersionText();
  // Made before the window so that the window (and any worker still talking
  // to a simulated device) goes first.
  std::unique_ptr<DemoBench> demo;
  if (options.demo) {
    demo = std::make_unique<DemoBench>();
    if (const std::string problem = demo->StartFor(setup); !problem.empty()) Tell(problem);
  }
  return RunFirmwareWriterWindow(std::move(setup)) == -1 ? 1 : 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // The arguments as UTF-8 from the wide command line: the ANSI code page
  // cannot hold every file name.
  const auto parsed = ParseStartOptions(ProgramArguments(0, nullptr));
  if (const int* status = std::get_if<int>(&parsed)) return *status;
  return Run(std::get<StartOptions>(parsed));
}
