// Opens the demo window, runs a search, selects the wireless device and
// then creates the file named by argv[1], so that a script can take the
// screenshot (docs/screenshot.png) with the list filled. Ends when the
// script removes that file again.
#include <QApplication>
#include <QFile>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>

#include "app/demo.h"
#include "app/firmware_writer_dlg.h"
#include "app/prompts.h"

using namespace kesto::app;

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  QApplication application(argc, argv);
  const QString ready = QString::fromLocal8Bit(argv[1]);

  DemoBench demo;
  if (demo.Start() != 0) return 1;
  DialogPrompts prompts;
  WindowSetup setup;
  setup.interfaces = DemoInterfaces;
  setup.firmwareFolder = demo.SampleFolder();
  CFirmwareWriterDlg window(std::move(setup), prompts);
  if (!window.OnInitDialog()) return 1;
  window.show();

  auto* search = window.findChild<QPushButton*>("searchButton");
  auto* list = window.findChild<QListWidget*>("deviceList");
  QTimer::singleShot(300, search, &QPushButton::click);
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (!search->isEnabled() || list->count() == 0) return;
    poll.stop();
    list->setCurrentRow(3);
    QTimer::singleShot(300, [&] {
      QFile file(ready);
      file.open(QIODevice::WriteOnly);
      poll.disconnect();
      QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!QFile::exists(ready)) window.accept();
      });
      poll.start(50);
    });
  });
  poll.start(50);
  window.exec();
  return 0;
}
