#include "app/qt/firmware_writer_app.h"

#include <QApplication>
#include <QCommandLineParser>

#include <charconv>
#include <cstdio>
#include <memory>

#include "app/demo.h"
#include "app/qt/firmware_writer_window.h"
#include "app/qt/prompts.h"
#include "app/window_rules.h"
#include "kesto/version.h"

namespace kesto::app {
namespace {

constexpr int kUsageError = 64;

constexpr const char* kUsage =
    "Usage: kesto-fw-gui [--demo] [--host-port N]\n"
    "Finds KESTO devices on the local network and writes firmware into them.\n"
    "\n"
    "  --demo          start simulated devices on loopback and offer only 127.0.0.1 (lo)\n"
    "  --host-port N   the port (1-65535) the devices connect back to during a write,\n"
    "                  for a firewall rule; without it the system chooses one\n"
    "  -h, --help      show this help\n"
    "  --version       show the version\n";

std::optional<uint16_t> PortNumber(const QString& text) {
  const std::string digits = text.toStdString();
  unsigned value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size() || value == 0 || value > 65535)
    return std::nullopt;
  return static_cast<uint16_t>(value);
}

}  // namespace

std::optional<StartOptions> ParseStartOptions(const QStringList& arguments, QString& error) {
  QCommandLineParser parser;
  const QCommandLineOption demo(QStringLiteral("demo"));
  const QCommandLineOption hostPort(QStringLiteral("host-port"), QString(), QStringLiteral("N"));
  const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
  const QCommandLineOption version(QStringLiteral("version"));
  parser.addOptions({demo, hostPort, help, version});
  // parse() takes the program name first.
  if (!parser.parse(QStringList{QStringLiteral("kesto-fw-gui")} + arguments)) {
    error = parser.errorText();
    return std::nullopt;
  }
  if (!parser.positionalArguments().isEmpty()) {
    error = QStringLiteral("unexpected argument: ") + parser.positionalArguments().first();
    return std::nullopt;
  }
  StartOptions options;
  options.demo = parser.isSet(demo);
  options.help = parser.isSet(help);
  options.version = parser.isSet(version);
  if (parser.isSet(hostPort)) {
    const QString value = parser.values(hostPort).last();
    const std::optional<uint16_t> port = PortNumber(value);
    if (!port) {
      error = QStringLiteral("--host-port: not a port number (1-65535): ") + value;
      return std::nullopt;
    }
    options.hostPort = *port;
  }
  return options;
}

int CFirmwareWriterApp::InitInstance() {
  // Read before Qt starts, so that help and version need no display.
  QStringList arguments;
  for (int i = 1; i < argc_; ++i) arguments << QString::fromLocal8Bit(argv_[i]);
  QString problem;
  const std::optional<StartOptions> options = ParseStartOptions(arguments, problem);
  if (!options) {
    std::fprintf(stderr, "kesto-fw-gui: %s\n\n%s", problem.toLocal8Bit().constData(), kUsage);
    return kUsageError;
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
  setup.hostPort = options->hostPort;
  // Made before the window so that the window (and any worker still talking
  // to a simulated device) goes first.
  std::unique_ptr<DemoBench> demo;
  if (options->demo) {
    demo = std::make_unique<DemoBench>();
    if (const std::string failure = demo->StartFor(setup); !failure.empty())
      prompts.Message(nullptr, failure, false);
  }
  FirmwareWriterWindow window(std::move(setup), prompts);
  return window.DoModal() == -1 ? 1 : 0;
}

}  // namespace kesto::app
