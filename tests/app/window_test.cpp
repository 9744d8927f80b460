// The Qt window's own part: its widgets reach the window's behaviour (buttons,
// list, selector, keys, close box), and one real message box. The behaviour
// itself is tested toolkit-free (tests/window).
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "app/demo.h"
#include "app/qt/firmware_writer_app.h"
#include "app/qt/firmware_writer_window.h"
#include "platform/socket.h"
#include "support/test_ports.h"

using namespace kesto::app;

namespace {

// Every question answered OK; the file dialog cancelled.
struct AnswerOk final : Prompts {
  std::vector<std::string> texts;
  bool Message(QWidget*, const std::string& text, bool) override {
    texts.push_back(text);
    return true;
  }
  QString OpenFirmwareFile(QWidget*, const QStringList&, const QString&) override { return {}; }
};

// Loopback only, on ports where nobody answers: a search finds nothing.
WindowSetup QuietSetup(int quietMs = 300) {
  const kesto::sim::Ports ports = kesto::testing::NextTestPorts();
  WindowSetup setup;
  setup.interfaces = [] {
    kesto::InterfaceTable table = DemoInterfaces();
    table.push_back(table[0]);
    table[1].address = *kesto::ParseIpv4("127.0.0.2");
    return table;
  };
  setup.ports = {ports.discovery, ports.query, ports.update};
  setup.searchLimits.quietMs = quietMs;
  return setup;
}

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private slots:
  void commandLine() {
    char program[] = "kesto-fw-gui", flag[] = "--host-port", value[] = "http";
    char* argv[] = {program, flag, value, nullptr};
    int argc = 3;
    QCOMPARE(CFirmwareWriterApp(argc, argv).InitInstance(), 64);
  }

  void nameFiltersForTheFileDialog() {
    QCOMPARE(QtNameFilters("Firmware file (KS_N*.bin)|KS_N*.bin|all files(*.*)|*.*||"),
             (QStringList{"Firmware file (KS_N*.bin) (KS_N*.bin)", "all files(*.*) (*)"}));
  }

  void widgetsReachTheBehaviour() {
    AnswerOk prompts;
    FirmwareWriterWindow window(QuietSetup(3'600'000), prompts);  // a search ends by the close
    QVERIFY(window.OnInitDialog());
    window.show();
    auto* label = window.findChild<QLabel*>("interfaceLabel");
    auto* selector = window.findChild<QComboBox*>("interfaceSelector");
    auto* search = window.findChild<QPushButton*>("searchButton");
    auto* list = window.findChild<QListWidget*>("deviceList");
    auto* write = window.findChild<QPushButton*>("writeButton");
    auto* bar = window.findChild<QProgressBar*>("progressBar");
    auto* caption = window.findChild<QLabel*>("versionCaption");
    QCOMPARE(label->buddy(), selector);
    QCOMPARE(selector->count(), 2);
    QCOMPARE(caption->text(), QString("Version 1.03"));
    QVERIFY(caption->isVisible() && !bar->isVisible() && !write->isEnabled());
    QVERIFY(window.findChild<QWidget*>("logPane")->isHidden());

    selector->setCurrentIndex(1);
    QCOMPARE(window.Core().SelectedLocalAddress(), std::string("127.0.0.2"));
    selector->setCurrentIndex(0);
    window.AddDeviceRow("a device");
    list->setCurrentRow(0);
    QVERIFY(write->isEnabled());
    list->clearSelection();
    QVERIFY(!write->isEnabled());

    // Hidden keys on any control count; with Alt they are mnemonics and do not.
    for (const int key : kHiddenKeys)
      QTest::keyClick(&window, static_cast<Qt::Key>(key), Qt::AltModifier);
    QCOMPARE(window.Core().HiddenModeCounter(), kHiddenModeStart);
    QWidget* const targets[] = {&window, list, search};
    for (size_t i = 0; i < kHiddenKeys.size(); ++i)
      QTest::keyClick(targets[i], static_cast<Qt::Key>(kHiddenKeys[i]));
    QCOMPARE(caption->text(), QString("Version 1.03 *"));

    // A stray Enter keeps the window; on a focused button it presses it.
    QTest::keyClick(list, Qt::Key_Return);
    QTest::keyClick(&window, Qt::Key_Enter);
    QVERIFY(window.isVisible());
    search->setFocus();
    QTest::keyClick(search, Qt::Key_Return);
    QVERIFY(!search->isEnabled() && bar->isVisible() && !caption->isVisible());
    QCOMPARE(bar->text(), QString("検索中…"));
    QCOMPARE(list->count(), 0);
    QTest::keyClick(&window, Qt::Key_Escape);  // ignored while busy
    QVERIFY(window.isVisible());
    QVERIFY(window.close());  // the close box: no question during a search, which stops
    QVERIFY(!window.Core().Running());
    QVERIFY(prompts.texts.empty());
  }

  void aRealMessageBoxOwnedByTheWindow() {
    DialogPrompts prompts;
    FirmwareWriterWindow window(QuietSetup(), prompts);
    QVERIFY(window.OnInitDialog());
    window.show();
    auto* write = window.findChild<QPushButton*>("writeButton");
    window.findChild<QPushButton*>("searchButton")->click();
    QTRY_VERIFY_WITH_TIMEOUT(write->isEnabled(), 20000);  // idle again, nothing selected
    QString shown;
    QTimer::singleShot(0, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      QVERIFY(box);
      shown = box->windowTitle() + "|" + box->text();
      QCOMPARE(box->parentWidget(), &window);
      box->button(QMessageBox::Ok)->click();
    });
    write->click();  // returns when the box has been answered
    QCOMPARE(shown, QString("KESTO_NW_FirmwareWriter|デバイスを選択してください"));
    QTest::keyClick(&window, Qt::Key_Escape);  // idle: Escape ends the window
    QVERIFY(!window.isVisible());
  }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
