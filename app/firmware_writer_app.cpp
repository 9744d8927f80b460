#include "app/firmware_writer_app.h"

#include <QApplication>

#include <cstdio>
#include <cstring>
#include <memory>

#include "app/demo.h"
#include "app/firmware_writer_dlg.h"
#include "app/prompts.h"
#include "app/window_rules.h"
#include "kesto/version.h"
#include "platform/format.h"

namespace kesto::app {
namespace {

constexpr const char* kUsage =
    "Usage: kesto-fw-gui [--demo]\n"
    "Finds KESTO devices on the local network and writes firmware into them.\n"
    "\n"
    "  --demo       start simulated devices on loopback and offer 127.0.0.1 (lo)\n"
    "  -h, --help   show this help\n"
    "  --version    show the version\n";

}  // namespace

std::optional<StartOptions> ParseStartOptions(const std::vector<std::string>& arguments) {
  StartOptions options;
  for (const std::string& argument : arguments) {
    if (argument == "--demo")
      options.demo = true;
    else if (argument == "-h" || argument == "--help")
      options.help = true;
    else if (argument == "--version")
      options.version = true;
    else
      return std::nullopt;
  }
  return options;
}

int CFirmwareWriterApp::InitInstance() {
  // Read before Qt starts, so that help and version need no display.
  const std::optional<StartOptions> options =
      ParseStartOptions(std::vector<std::string>(argv_ + (argc_ > 0 ? 1 : 0), argv_ + argc_));
  if (!options) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (options->help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (options->version) {
    std::printf("%s %s\n", kApplicationName, ProgramVersionText().c_str());
    return 0;
  }

  QApplication application(argc_, argv_);
  QApplication::setApplicationName(QString::fromUtf8(kApplicationName));
  QApplication::setApplicationVersion(QString::fromStdString(ProgramVersionText()));

  DialogPrompts prompts;
  WindowSetup setup;
  // Made before the window so that the window (and any worker still talking
  // to a simulated device) goes first.
  std::unique_ptr<DemoBench> demo;
  if (options->demo) {
    demo = std::make_unique<DemoBench>();
    if (const int error = demo->Start(); error != 0)
      prompts.Message(
          nullptr, Format("デモ用の模擬デバイスを起動できませんでした: %s", std::strerror(error)),
          false);
    setup.interfaces = DemoInterfaces;
    setup.firmwareFolder = demo->SampleFolder();
  }
  CFirmwareWriterDlg dialog(std::move(setup), prompts);
  return dialog.DoModal() == -1 ? 1 : 0;
}

}  // namespace kesto::app
