#include "app/firmware_writer_app.h"

#include <QApplication>

#include <charconv>
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
    "Usage: kesto-fw-gui [--demo] [--host-port N]\n"
    "Finds KESTO devices on the local network and writes firmware into them.\n"
    "\n"
    "  --demo       start simulated devices on loopback and offer 127.0.0.1 (lo)\n"
    "  --host-port N  the device connects back to port N (for a firewall rule)\n"
    "  -h, --help   show this help\n"
    "  --version    show the version\n";

}  // namespace

std::optional<StartOptions> ParseStartOptions(const std::vector<std::string>& arguments) {
  StartOptions options;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--host-port" || argument.starts_with("--host-port=")) {
      const std::string value = argument.size() > 11       ? argument.substr(12)
                                : i + 1 < arguments.size() ? arguments[++i]
                                                           : std::string();
      unsigned port = 0;
      const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), port);
      if (value.empty() || error != std::errc() || end != value.data() + value.size() ||
          port == 0 || port > 65535)
        return std::nullopt;
      options.hostPort = static_cast<uint16_t>(port);
    } else if (argument == "--demo") {
      options.demo = true;
    } else if (argument == "-h" || argument == "--help") {
      options.help = true;
    } else if (argument == "--version") {
      options.version = true;
    } else {
      return std::nullopt;
    }
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
  setup.hostPort = options->hostPort;
  CFirmwareWriterDlg dialog(std::move(setup), prompts);
  return dialog.DoModal() == -1 ? 1 : 0;
}

}  // namespace kesto::app
