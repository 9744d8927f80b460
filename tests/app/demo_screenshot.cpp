// The demo window for docs/screenshot.png: searches, then writes the wireless
// sample into the wireless device, which stops taking data part way, so the
// bar holds its phase and percentage. Creates the file argv[1] then and ends
// when the script (demo-screenshot.sh) removes it again.
#include <QApplication>
#include <QFile>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "app/demo.h"
#include "app/demo_devices.h"
#include "app/qt/firmware_writer_window.h"
#include "support/test_support.h"

using namespace kesto::app;

namespace {
// Every question answered OK, and the one sample chosen.
struct Answers final : Prompts {
  QString file;
  bool Message(QWidget*, const std::string&, bool) override { return true; }
  QString OpenFirmwareFile(QWidget*, const QStringList&, const QString&) override { return file; }
};
}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  QApplication application(argc, argv);
  const QString ready = QString::fromLocal8Bit(argv[1]);
  std::vector<kesto::sim::DeviceConfig> devices = DemoDevices();
  devices[3].faults.stallAfterBytes = 18 * 1024;  // of 40 KiB
  kesto::sim::Simulator simulator(devices);
  const kesto::testing::TempDir folder;
  if (simulator.Start() != 0 || !WriteDemoSamples(folder.PathOf(""))) return 1;
  Answers prompts;
  prompts.file = QString::fromStdString(folder.PathOf("KESTOWiFi_demo.bin"));
  WindowSetup setup;
  setup.interfaces = DemoInterfaces;
  setup.updateLimits.stallMs = 60000;
  FirmwareWriterWindow window(std::move(setup), prompts);
  if (!window.OnInitDialog()) return 1;

  auto* list = window.findChild<QListWidget*>("deviceList");
  auto* bar = window.findChild<QProgressBar*>("progressBar");
  QTimer::singleShot(300, window.findChild<QPushButton*>("searchButton"), &QPushButton::click);
  QTimer poll;
  int step = 0;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (step == 0 && list->isEnabled() && list->count() == 5) {
      list->setCurrentRow(3);
      window.findChild<QPushButton*>("writeButton")->click();
      ++step;
    } else if (step == 1 && bar->value() >= 40 && QFile(ready).open(QIODevice::WriteOnly)) {
      ++step;
    } else if (step == 2 && !QFile::exists(ready)) {
      window.accept();
    }
  });
  poll.start(50);
  window.exec();
  return 0;
}
