// The window's small rules, its start-up, keys while idle, searches against
// simulated devices on loopback, and the demo's devices.
#include <QComboBox>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <cerrno>

#include "app/demo.h"
#include "app/firmware_writer_app.h"
#include "app/window_rules.h"
#include "window_harness.h"

using namespace kesto::app;
using namespace kesto::app::testing;

class WindowTest : public QObject, WindowFixture {
  Q_OBJECT

 private slots:
  void initTestCase() {
    devices_ = {Device("127.0.0.2", 'B', 1), Device("127.0.0.3", 'W', 2, 91, 17, 2),
                Device("127.0.0.4", 'L', 3), Device("127.0.0.5", 'X', 4, 122, 4)};
    devices_[2].rssi = -58;
    QCOMPARE(StartDevices(), 0);
  }
  void cleanupTestCase() { simulator_.reset(); }
  void cleanup() { Close(); }

  void rules() {
    QCOMPARE(kesto::VersionText(1, 0, 3, 0), std::string("Version 1.03"));
    QCOMPARE(kesto::VersionText(1, 2, 3, 4), std::string("Version 1.234"));
    QCOMPARE(kesto::VersionText(2, 10, 0, 0), std::string("Version 2.100"));

    const int k1 = kHiddenKeys[0], k2 = kHiddenKeys[1], k3 = kHiddenKeys[2];
    const struct {
      std::vector<int> keys;
      int counter;
    } sequences[] = {{{k1, k3, k2, k3}, 0}, {{k2, k3, k1}, 2}, {{k1, k1, 'A', k2, k3}, 0}};
    for (const auto& sequence : sequences) {
      int counter = kHiddenModeStart;
      for (const int key : sequence.keys) counter = AdvanceHiddenMode(counter, key);
      QCOMPARE(counter, sequence.counter);
    }

    QCOMPARE(QtNameFilters("Firmware file (PQ*.bin)|PQ*.bin|all files(*.*)|*.*||"),
             (QStringList{"Firmware file (PQ*.bin) (PQ*.bin)", "all files(*.*) (*)"}));
    QCOMPARE(QtNameFilters("Images|*.bin;*.img||"), QStringList{"Images (*.bin *.img)"});
    QCOMPARE(QtNameFilters("Firmware file"), QStringList{});
  }

  void commandLine() {
    const struct {
      QStringList arguments;
      bool valid;
      uint16_t hostPort;
    } cases[] = {
        {{}, true, 0},
        {{"--demo", "--host-port", "40000"}, true, 40000},
        {{"--host-port=65535"}, true, 65535},
        {{"--host-port", "0"}, false, 0},
        {{"--host-port", "65536"}, false, 0},
        {{"--host-port", "80x"}, false, 0},
        {{"--host-port"}, false, 0},
        {{"--bogus"}, false, 0},
        {{"--demo", "extra"}, false, 0},
    };
    for (const auto& c : cases) {
      QString error;
      const auto options = ParseStartOptions(c.arguments, error);
      QVERIFY2(options.has_value() == c.valid, qPrintable(c.arguments.join(' ')));
      QCOMPARE(error.isEmpty(), c.valid);
      if (options) QCOMPARE(options->hostPort, c.hostPort);
    }
    QString error;
    QVERIFY(ParseStartOptions({"--demo"}, error)->demo);
    char program[] = "kesto-fw-gui", flag[] = "--host-port", value[] = "http";
    char* argv[] = {program, flag, value, nullptr};
    int argc = 3;
    QCOMPARE(CFirmwareWriterApp(argc, argv).InitInstance(), 64);
  }

  void startsIdleAndOnlyEscapeCloses() {
    CFirmwareWriterDlg& window = Open(TestSetup(kesto::testing::NextTestPorts()));
    Controls controls(window);
    QCOMPARE(controls.caption->text(), QString("Version 1.03"));
    QVERIFY(controls.Idle());
    QVERIFY(!controls.write->isEnabled());
    QCOMPARE(QString::fromStdString(window.SelectedLocalAddress()), QString("127.0.0.1"));
    window.AppendLog("socket :");
    window.AppendLog("ok\r\n");
    QCOMPARE(window.LogText(), std::string("socket :ok\r\n"));

    // A stray Enter keeps the window; on a button it presses the button.
    QTest::keyClick(controls.list, Qt::Key_Return);
    QTest::keyClick(&window, Qt::Key_Enter);
    QVERIFY(window.isVisible());
    controls.search->setFocus();
    QTest::keyClick(controls.search, Qt::Key_Return);
    QVERIFY(controls.Busy());
    QCOMPARE(controls.progress->text(), QString("検索中…"));
    QTRY_VERIFY_WITH_TIMEOUT(controls.Idle(), 20000);
    QCOMPARE(controls.list->count(), 0);  // nobody answers on these ports
    QVERIFY(prompts_.texts.empty());

    QSignalSpy finished(&window, &QDialog::finished);
    QTest::keyClick(&window, Qt::Key_Escape);
    QCOMPARE(finished.count(), 1);
    QVERIFY(!window.isVisible());
  }

  void noUsableInterfaceEndsTheWindow() {
    WindowSetup setup = TestSetup(ports_);
    setup.interfaces = [] { return kesto::InterfaceTable{}; };
    CFirmwareWriterDlg window(std::move(setup), prompts_);
    QCOMPARE(window.DoModal(), -1);
    QCOMPARE(prompts_.texts, std::vector<std::string>{kesto::kMessageNoInterface});
    QVERIFY(!window.isVisible());
  }

  void searchFillsTheListInSlotOrder() {
    CFirmwareWriterDlg& window = Open(TestSetup(ports_));
    Controls controls(window);
    QSignalSpy progress(controls.progress, &QProgressBar::valueChanged);
    for (int round = 0; round < 2; ++round) {
      controls.search->click();
      // Emptied and busy at once, before the worker has done anything.
      QCOMPARE(controls.list->count(), 0);
      QVERIFY(controls.Busy());
      QTRY_VERIFY_WITH_TIMEOUT(controls.search->isEnabled(), 20000);
      QCOMPARE(controls.list->count(), 4);
      QVERIFY(controls.Idle());
      QVERIFY(controls.write->isEnabled());  // although nothing is selected
      controls.list->setCurrentRow(2);
    }
    QVERIFY(controls.Entries()[2].endsWith("(-58 dBm)"));
    for (int i = 0; i < 4; ++i)
      QCOMPARE(window.Devices().records[i].addressText, devices_[i].address);
    QCOMPARE(window.Devices().records[1].kind, kesto::kKindWireless);
    QCOMPARE(progress.count(), 0);  // a search never moves the bar
    controls.list->clearSelection();
    QVERIFY(!controls.write->isEnabled());
    QVERIFY(prompts_.texts.empty());
  }

  void closingDuringASearchStopsIt() {
    // A device that accepts the query and never answers keeps the search busy.
    kesto::sim::DeviceConfig hanging = Device("127.0.0.9", 'B', 1);
    hanging.faults.infoHang = true;
    const kesto::sim::Ports ports = kesto::testing::NextTestPorts();
    kesto::sim::Simulator simulator({hanging}, ports);
    QCOMPARE(simulator.Start(), 0);
    // Waits without end unless the close stops them.
    WindowSetup setup = TestSetup(ports);
    setup.searchLimits.receiveTimeoutMs = 3'600'000;
    CFirmwareWriterDlg& window = Open(std::move(setup));
    Controls controls(window);
    controls.search->click();
    QTRY_VERIFY_WITH_TIMEOUT(simulator.DiscoveryRequests() > 0, 20000);
    QTest::keyClick(&window, Qt::Key_Escape);  // ignored while busy
    QVERIFY(window.isVisible());
    window.close();  // the close box: no question during a search
    QVERIFY(!window.isVisible());
    QVERIFY(!window.Running());
    QCoreApplication::processEvents();
    QCOMPARE(controls.list->count(), 0);  // what the stopped run queued is dropped
    QVERIFY(prompts_.texts.empty());
  }

  void aSearchThatCannotStartReturnsToIdle() {
    WindowSetup setup = TestSetup(ports_);
    setup.startThread = [](std::thread&, std::function<void()>) { return EAGAIN; };
    Controls controls(Open(std::move(setup)));
    controls.search->click();
    QCOMPARE(prompts_.texts, std::vector<std::string>{"処理を開始できませんでした:11"});
    QVERIFY(controls.Idle());
  }

  void demoStaysOnLoopbackAndEverySampleWritesIntoItsKind() {
    const kesto::InterfaceTable interfaces = DemoInterfaces();
    QCOMPARE(interfaces.size(), size_t(1));
    QCOMPARE(kesto::InterfaceEntryText(interfaces[0]), std::string("127.0.0.1 (lo)"));

    const kesto::sim::Ports ports = kesto::testing::NextTestPorts();
    kesto::sim::Simulator simulator(DemoDevices(), ports);
    QCOMPARE(simulator.Start(), 0);
    QTemporaryDir folder;
    QVERIFY(WriteDemoSamples(folder.path()));
    WindowSetup setup = TestSetup(ports);
    setup.interfaces = DemoInterfaces;
    Controls controls(Open(std::move(setup)));
    QVERIFY(controls.SearchAndWait());
    QCOMPARE(controls.list->count(), 5);
    controls.list->setCurrentRow(1);
    controls.write->click();
    QCOMPARE(prompts_.texts, std::vector<std::string>{kesto::kMessageTmode});

    // Rows move up as each written device leaves the list; TMODE stays.
    for (const char* sample :
         {"KS_N_demo.bin", "KS_N_demo.bin", "KESTOWiFi_demo.bin", "PQ_demo.bin"}) {
      prompts_.texts.clear();
      controls.list->setCurrentRow(controls.list->count() == 5 ? 0 : 1);
      prompts_.fileNames = {QDir(folder.path()).filePath(sample)};
      controls.write->click();
      QTRY_COMPARE_WITH_TIMEOUT(prompts_.texts.size(), size_t(2), 20000);
      QCOMPARE(prompts_.texts[1], std::string("正常終了"));
    }
    QCOMPARE(controls.list->count(), 1);
  }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
