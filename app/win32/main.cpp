// kesto-fw-gui.exe: the window of the firmware writer for Windows.
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "app/demo.h"
#include "app/start_options.h"
#include "app/win32/dialog_front_end.h"
#include "app/win32/firmware_writer_window.h"
#include "app/win32/version_resource.h"
#include "kesto/version.h"
#include "platform/process.h"
#include "platform/wide_text.h"

namespace {

using namespace kesto;
using namespace kesto::app;

void Tell(const std::string& text) {
  MessageBoxW(nullptr, ControlText(text).c_str(), WideFromUtf8(kApplicationName).c_str(), MB_OK);
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
  // cannot hold every file name. Help, version and a bad option are told in
  // a message box: there is no console.
  const auto parsed = ParseStartOptions(ProgramArguments(0, nullptr), OwnVersionText());
  if (const StartEnding* ending = std::get_if<StartEnding>(&parsed)) {
    // A console's last line end would be an empty line in the box.
    const std::string& text = ending->text;
    Tell(text.substr(0, text.find_last_not_of('\n') + 1));
    return ending->status;
  }
  return Run(std::get<StartOptions>(parsed));
}
