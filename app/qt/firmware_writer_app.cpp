#include "app/qt/firmware_writer_app.h"

#include <QApplication>

#include <cstdio>
#include <memory>
#include <variant>

#include "app/demo.h"
#include "app/qt/firmware_writer_window.h"
#include "app/qt/prompts.h"
#include "app/start_options.h"
#include "app/window_rules.h"
#include "kesto/version.h"
#include "platform/process.h"

namespace kesto::app {

int CFirmwareWriterApp::InitInstance() {
  // Read before Qt starts, so that help and version need no display.
  const auto parsed = ParseStartOptions(ProgramArguments(argc_, argv_), ProgramVersionText());
  if (const StartEnding* ending = std::get_if<StartEnding>(&parsed)) {
    std::fputs(ending->text.c_str(), ending->status == 0 ? stdout : stderr);
    return ending->status;
  }
  const StartOptions& options = std::get<StartOptions>(parsed);

  QApplication application(argc_, argv_);
  QApplication::setApplicationName(QString::fromUtf8(kApplicationName));
  QApplication::setApplicationVersion(QString::fromStdString(ProgramVersionText()));

  DialogPrompts prompts;
  WindowSetup setup;
  setup.hostPort = options.hostPort;
  // Made before the window so that the window (and any worker still talking
  // to a simulated device) goes first.
  std::unique_ptr<DemoBench> demo;
  if (options.demo) {
    demo = std::make_unique<DemoBench>();
    if (const std::string failure = demo->StartFor(setup); !failure.empty())
      prompts.Message(nullptr, failure, false);
  }
  FirmwareWriterWindow window(std::move(setup), prompts);
  return window.DoModal() == -1 ? 1 : 0;
}

}  // namespace kesto::app
