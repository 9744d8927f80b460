// Searches from the window against simulated devices on loopback.
#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <memory>

#include "app/firmware_writer_dlg.h"
#include "platform/errors.h"
#include "support/test_ports.h"
#include "window_harness.h"

using namespace kesto::app;
using namespace kesto::app::testing;
namespace sim = kesto::sim;

namespace {
constexpr int kEndless = 3'600'000;
}  // namespace

class WindowSearchTest : public QObject, WindowFixture {
  Q_OBJECT

 private slots:
  void initTestCase() {
    devices_ = {
        Device("127.0.0.2", 'B', 1, 125, 0, 1),  Device("127.0.0.3", 'W', 2, 91, 17, 2),
        Device("127.0.0.4", 'L', 3, 125, 0, 1),  Device("127.0.0.5", 'T', 4, 90, 0, 1),
        Device("127.0.0.6", 'W', 5, 100, 20, 1), Device("127.0.0.7", 'B', 6, 130, 1, 1),
        Device("127.0.0.8", 'X', 7, 122, 4, 1),
    };
    devices_[2].rssi = -58;
    devices_[5].rssi = -40;  // model 1: never asked
    devices_[6].rssi = -33;  // version below 1.23: never asked
    QCOMPARE(StartDevices(), 0);
  }
  void cleanupTestCase() { simulator_.reset(); }
  void cleanup() { Close(); }

  void searchFillsTheListInSlotOrder() {
    CFirmwareWriterDlg& window = Open(TestSetup(ports_));
    Controls controls(window);
    QSignalSpy progress(controls.progress, &QProgressBar::valueChanged);
    controls.search->click();
    // Busy at once, before the worker has done anything.
    QVERIFY(controls.Busy());
    QTRY_VERIFY_WITH_TIMEOUT(controls.search->isEnabled(), 20000);

    const QStringList expected = {
        EntryPrefix(devices_[0]) + "KS-B20 / ver. 1.25",
        EntryPrefix(devices_[1]) + "KS-W17 / ver. 0.91",
        EntryPrefix(devices_[2]) + "WiFi / ver. 1.25 (-58 dBm)",
        EntryPrefix(devices_[3]) + "PQ / ver. 1.00",
        EntryPrefix(devices_[4]) + " / ver. 1.00",
        EntryPrefix(devices_[5]) + "KS-B21 / ver. 1.30",
        EntryPrefix(devices_[6]) + "(model id:4) / ver. 1.22",
    };
    QCOMPARE(controls.Entries(), expected);
    // Row i is table slot i.
    QCOMPARE(window.Devices().count, 7);
    for (int i = 0; i < 7; ++i)
      QCOMPARE(window.Devices().records[i].addressText, devices_[i].address);
    QCOMPARE(window.Devices().records[1].kind, kesto::kKindWireless);
    QCOMPARE(window.Devices().records[6].kind, kesto::kKindUnknown);

    // Idle again only with every entry in; Write enabled with nothing selected.
    QVERIFY(controls.Idle());
    QVERIFY(controls.write->isEnabled());
    QCOMPARE(controls.list->selectedItems().size(), 0);
    QCOMPARE(progress.count(), 0);  // a search never moves the bar
    QVERIFY(prompts_.messages.empty());
  }

  void selectionDrivesTheWriteButton() {
    CFirmwareWriterDlg& window = Open(TestSetup(ports_));
    Controls controls(window);
    QVERIFY(SearchAndWait(controls));
    controls.list->setCurrentRow(2);
    QVERIFY(controls.write->isEnabled());
    controls.list->clearSelection();
    QVERIFY(!controls.write->isEnabled());
    controls.list->setCurrentRow(0);
    QVERIFY(controls.write->isEnabled());
  }

  void aSecondSearchEmptiesTheListFirst() {
    CFirmwareWriterDlg& window = Open(TestSetup(ports_));
    Controls controls(window);
    QVERIFY(SearchAndWait(controls));
    QCOMPARE(controls.list->count(), 7);
    controls.list->setCurrentRow(1);
    controls.search->click();
    QCOMPARE(controls.list->count(), 0);
    QVERIFY(controls.Busy());
    QTRY_VERIFY_WITH_TIMEOUT(controls.search->isEnabled(), 20000);
    QCOMPARE(controls.list->count(), 7);
    QVERIFY(controls.write->isEnabled());
  }

  void nothingFoundEndsIdleWithoutAMessage() {
    CFirmwareWriterDlg& window = Open(TestSetup(kesto::testing::NextTestPorts()));
    Controls controls(window);
    QVERIFY(SearchAndWait(controls));
    QCOMPARE(controls.list->count(), 0);
    QVERIFY(controls.Idle());
    QVERIFY(prompts_.messages.empty());
  }

  void closingDuringASearchStopsIt() {
    // A device that accepts the query and never answers keeps the search busy.
    sim::DeviceConfig hanging = Device("127.0.0.9", 'B', 1, 125, 0, 1);
    hanging.faults.infoHang = true;
    const sim::Ports ports = kesto::testing::NextTestPorts();
    sim::Simulator simulator({hanging}, ports);
    QCOMPARE(simulator.Start(), 0);

    // Waits without end unless the close stops them: a close that only
    // waited for the search would hang here until the test's time limit.
    WindowSetup setup = TestSetup(ports);
    setup.searchLimits.receiveTimeoutMs = kEndless;
    CFirmwareWriterDlg& window = Open(std::move(setup));
    Controls controls(window);
    QSignalSpy finished(&window, &QDialog::finished);
    controls.search->click();
    QTRY_VERIFY_WITH_TIMEOUT(simulator.DiscoveryRequests() > 0, 20000);
    window.close();  // the close box
    QCOMPARE(finished.count(), 1);
    QVERIFY(!window.isVisible());
    // Whatever the stopped run had queued is dropped.
    QCoreApplication::processEvents();
    QCOMPARE(controls.list->count(), 0);
    QVERIFY(prompts_.messages.empty());
  }

  void aSearchThatCannotStartReturnsToIdle() {
    WindowSetup setup = TestSetup(ports_);
    setup.startThread = [](std::thread&, std::function<void()>) {
      return kesto::errors::kWouldBlock;
    };
    CFirmwareWriterDlg& window = Open(std::move(setup));
    Controls controls(window);
    const int requests = simulator_->DiscoveryRequests();
    controls.search->click();
    QCOMPARE(prompts_.Texts(), std::vector<std::string>{"処理を開始できませんでした:11"});
    QVERIFY(controls.Idle());
    QCoreApplication::processEvents();
    QCOMPARE(simulator_->DiscoveryRequests(), requests);
  }
};

QTEST_MAIN(WindowSearchTest)
#include "window_search_test.moc"
