// Writes from the window against simulated devices on loopback: the checks
// before a write, its launch, the report and closing while it runs.
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "app/firmware_writer_dlg.h"
#include "app/window_rules.h"
#include "platform/errors.h"
#include "platform/format.h"
#include "update/write_rules.h"
#include "window_harness.h"

using namespace kesto::app;
using namespace kesto::app::testing;
namespace sim = kesto::sim;

namespace {

constexpr int kEndless = 3'600'000;

enum Row { kSecured = 0, kBoardTmode, kWirelessTmode, kWiFiId15, kJunk, kStalling, kPlain };

}  // namespace

class WindowWriteTest : public QObject, WindowFixture {
  Q_OBJECT

 private:
  QTemporaryDir folder_;
  QStringList entries_;  // as the first search showed them

  WindowSetup Setup() {
    WindowSetup setup = TestSetup(ports_);
    setup.firmwareFolder = folder_.path();
    return setup;
  }

  // A window that has searched, with rows in the order of devices_.
  CFirmwareWriterDlg& OpenAndSearch(WindowSetup setup) {
    CFirmwareWriterDlg& window = Open(std::move(setup));
    Controls controls(window);
    if (window.isVisible()) SearchAndWait(controls);  // only a window that started searches
    return window;
  }
  CFirmwareWriterDlg& OpenAndSearch() { return OpenAndSearch(Setup()); }

  QString Sample(const char* name) const { return folder_.filePath(name); }

  static std::vector<std::string> Confirmed(const QString& path) {
    return {kesto::WriteConfirmationText(path.toStdString())};
  }

 private slots:
  void initTestCase() {
    devices_ = {
        Device("127.0.0.2", 'B', 1, 125, 0, 1),   Device("127.0.0.3", 'B', 2, 125, 2, 15),
        Device("127.0.0.4", 'W', 3, 125, 17, 15), Device("127.0.0.5", 'L', 4, 125, 0, 15),
        Device("127.0.0.6", 'T', 5, 110, 0, 1),   Device("127.0.0.7", 'X', 6, 125, 1, 1),
        Device("127.0.0.8", 'B', 7, 125, 1, 1),
    };
    devices_[kSecured].password = "PELICANUS";
    devices_[kWiFiId15].rssi = -58;
    devices_[kJunk].faults.junkAnswer = true;
    devices_[kStalling].faults.stallAfterBytes = 2048;
    QCOMPARE(StartDevices(), 0);

    QVERIFY(folder_.isValid());
    QVERIFY(!WriteFile(folder_.path(), "KS_N_test.bin", 20 * 1024 + 100).isEmpty());
    QVERIFY(!WriteFile(folder_.path(), "PQ_test.bin", 4096).isEmpty());
    QVERIFY(!WriteFile(folder_.path(), "stall.bin", 16 * 1024).isEmpty());
    QVERIFY(!WriteFile(folder_.path(), "firmware.img", 6000).isEmpty());

    CFirmwareWriterDlg& window = OpenAndSearch();
    entries_ = Controls(window).Entries();
    QCOMPARE(entries_.size(), int(devices_.size()));
  }
  void cleanupTestCase() { simulator_.reset(); }
  void cleanup() { Close(); }

  void writeWithoutSelectionAsksForADevice() {
    CFirmwareWriterDlg& window = OpenAndSearch();
    Controls controls(window);
    QVERIFY(controls.write->isEnabled());
    controls.write->click();
    QCOMPARE(prompts_.Texts(), std::vector<std::string>{kesto::kMessageSelectDevice});
    QVERIFY(prompts_.filterLists.empty());
    QVERIFY(window.LogText().empty());
    QVERIFY(controls.Idle());
  }

  void failedListenerCheckKeepsItsLog() {
    WindowSetup setup = Setup();
    // 192.0.2.1 is on no interface here, so nothing can listen there.
    setup.interfaces = [] { return Interfaces({"127.0.0.1", "192.0.2.1"}); };
    CFirmwareWriterDlg& window = OpenAndSearch(std::move(setup));
    Controls controls(window);
    controls.list->setCurrentRow(kSecured);
    controls.selector->setCurrentIndex(1);
    controls.write->click();
    QCOMPARE(prompts_.Texts(), std::vector<std::string>{kesto::kMessageFirewall});
    QVERIFY(prompts_.filterLists.empty());
    const QString log = QString::fromStdString(window.LogText());
    QVERIFY2(log.startsWith("ok\r\nbind \"192.0.2.1\":"), qPrintable(log));
    QVERIFY2(log.endsWith(QString::fromStdString(
                 kesto::Format("ERROR: %d\r\n", kesto::errors::kAddressNotAvailable))),
             qPrintable(log));
    QVERIFY(controls.Idle());
  }

  void tmodeIsRefusedAfterTheCheck_data() {
    QTest::addColumn<int>("row");
    QTest::newRow("kind 7") << int(kBoardTmode);
    QTest::newRow("kind 5") << int(kWirelessTmode);
  }
  void tmodeIsRefusedAfterTheCheck() {
    QFETCH(int, row);
    CFirmwareWriterDlg& window = OpenAndSearch();
    Controls controls(window);
    controls.list->setCurrentRow(row);
    controls.write->click();
    QCOMPARE(prompts_.Texts(), std::vector<std::string>{kesto::kMessageTmode});
    QVERIFY(prompts_.filterLists.empty());
    // The check ran and its lines stay: the log is cleared only on the way to the file.
    QVERIFY(QString::fromStdString(window.LogText()).startsWith("ok\r\nbind \"127.0.0.1\":ok\r\n"));
    QVERIFY(controls.Idle());
    QVERIFY(controls.write->isEnabled());
  }

  void otherKindsWithId15AreNotRefusedAndCancelEmptiesTheLog() {
    CFirmwareWriterDlg& window = OpenAndSearch();
    Controls controls(window);
    controls.list->setCurrentRow(kWiFiId15);
    controls.write->click();  // the file dialog is cancelled
    QVERIFY(prompts_.messages.empty());
    QCOMPARE(prompts_.filterLists.size(), size_t(1));
    QCOMPARE(prompts_.filterLists[0],
             QStringList{"Firmware file (KESTOWiFi*.bin) (KESTOWiFi*.bin)"});
    QCOMPARE(prompts_.folders[0], folder_.path());
    QVERIFY(window.LogText().empty());
    QVERIFY(controls.log->toPlainText().isEmpty());
    QVERIFY(controls.Idle());
    QVERIFY(controls.write->isEnabled());
  }

  void fileNameMustBeginWithThePrefix_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("prefix") << "KS_N_test.bin" << true;
    QTest::newRow("prefix alone") << "KS_N" << true;
    QTest::newRow("lower case") << "ks_n_test.bin" << false;
    QTest::newRow("mixed case") << "KS_n_test.bin" << false;
    QTest::newRow("shorter") << "KS.bin" << false;
    QTest::newRow("inside") << "xKS_N.bin" << false;
  }
  void fileNameMustBeginWithThePrefix() {
    QFETCH(QString, name);
    QFETCH(bool, accepted);
    CFirmwareWriterDlg& window = OpenAndSearch();
    Controls controls(window);
    controls.list->setCurrentRow(kSecured);
    const QString path = folder_.filePath(name);
    prompts_.fileNames = {path};
    prompts_.answers = {false};  // Cancel at the confirmation
    const auto sessions = simulator_->Sessions(kSecured).size();
    controls.write->click();
    QCOMPARE(prompts_.filterLists[0], QStringList{"Firmware file (KS_N*.bin) (KS_N*.bin)"});
    if (accepted) {
      QCOMPARE(prompts_.Texts(), Confirmed(path));
      QVERIFY(prompts_.messages[0].okCancel);
      QCOMPARE(window.FirmwarePath(), path);  // kept although cancelled
    } else {
      QCOMPARE(prompts_.Texts(), std::vector<std::string>{kesto::kMessageWrongFile});
      QVERIFY(window.FirmwarePath().isEmpty());
    }
    QVERIFY(controls.Idle());
    QCoreApplication::processEvents();
    QCOMPARE(simulator_->Sessions(kSecured).size(), sessions);
    QCOMPARE(simulator_->Invitations(kSecured), 0);
  }

  void unknownKindTakesAnyBinFile() {
    CFirmwareWriterDlg& window = OpenAndSearch();
    Controls controls(window);
    controls.list->setCurrentRow(kStalling);
    const QString path = folder_.filePath("whatever.bin");
    prompts_.fileNames = {path};
    prompts_.answers = {false};
    controls.write->click();
    QCOMPARE(prompts_.filterLists[0], QStringList{"Firmware file (*.bin) (*.bin)"});
    QCOMPARE(prompts_.Texts(), Confirmed(path));
    QVERIFY(controls.Idle());
  }

  void successfulWriteRemovesTheDevice() {
    CFirmwareWriterDlg& window = OpenAndSearch();
    Controls controls(window);
    controls.list->setCurrentRow(kSecured);
    prompts_.fileNames = {Sample("KS_N_test.bin")};
    QSignalSpy progress(controls.progress, &QProgressBar::valueChanged);
    controls.write->click();
    QVERIFY(controls.Busy());
    QCOMPARE(controls.progress->value(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(prompts_.messages.size(), size_t(2), 20000);
    QCOMPARE(prompts_.Texts()[0], Confirmed(Sample("KS_N_test.bin"))[0]);
    QCOMPARE(prompts_.Texts()[1], std::string("正常終了"));

    // Entry 0 and slot 0 are gone; the rest moved up in both.
    QCOMPARE(controls.Entries(), entries_.mid(1));
    for (size_t slot = 0; slot + 1 < devices_.size(); ++slot)
      QCOMPARE(window.Devices().records[slot].addressText, devices_[slot + 1].address);
    QCOMPARE(controls.list->selectedItems().size(), 0);
    QVERIFY(!controls.write->isEnabled());
    QVERIFY(controls.Idle());
    QCOMPARE(controls.progress->value(), 0);

    // The bar climbed to 100 and was reset by the return to idle.
    QList<int> values;
    for (const QList<QVariant>& call : progress) values << call[0].toInt();
    QVERIFY(values.contains(100));
    QCOMPARE(values.last(), 0);
    for (qsizetype i = 1; i + 1 < values.size(); ++i) QVERIFY(values[i - 1] <= values[i]);

    QVERIFY(simulator_->WaitForSessions(kSecured, 1, 5000));
    const sim::UpdateSession session = simulator_->Sessions(kSecured).back();
    QVERIFY(session.complete);
    QVERIFY(session.md5Matched);
    QFile image(Sample("KS_N_test.bin"));
    QVERIFY(image.open(QIODevice::ReadOnly));
    const QByteArray bytes = image.readAll();
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(session.image.data()),
                        qsizetype(session.image.size())),
             bytes);
    QVERIFY(!window.LogText().empty());
  }

  void failedWriteKeepsTheDeviceSelected() {
    CFirmwareWriterDlg& window = OpenAndSearch();
    Controls controls(window);
    controls.list->setCurrentRow(kJunk);
    prompts_.fileNames = {Sample("PQ_test.bin")};
    controls.write->click();
    QTRY_COMPARE_WITH_TIMEOUT(prompts_.messages.size(), size_t(2), 20000);
    QCOMPARE(prompts_.Texts()[1], std::string("KESTO通信エラー"));
    QCOMPARE(controls.Entries(), entries_);
    QCOMPARE(controls.list->currentRow(), int(kJunk));
    QCOMPARE(controls.list->selectedItems().size(), 1);
    QCOMPARE(window.Devices().records[kJunk].addressText, devices_[kJunk].address);
    QVERIFY(!controls.write->isEnabled());
    QVERIFY(controls.Idle());
  }

  void hiddenModeAcceptsAnyFile() {
    CFirmwareWriterDlg& window = OpenAndSearch();
    Controls controls(window);
    TypeHiddenSequence(controls.list);
    QCOMPARE(window.HiddenModeCounter(), kHiddenModeOn);
    controls.list->setCurrentRow(kPlain);
    prompts_.fileNames = {Sample("firmware.img")};
    controls.write->click();
    QCOMPARE(prompts_.filterLists[0],
             (QStringList{"Firmware file (KS_N*.bin) (KS_N*.bin)", "all files(*.*) (*)"}));
    QTRY_COMPARE_WITH_TIMEOUT(prompts_.messages.size(), size_t(2), 20000);
    QCOMPARE(prompts_.Texts()[1], std::string("正常終了"));
    QCOMPARE(controls.list->count(), int(devices_.size()) - 1);
    QVERIFY(!controls.Entries().contains(entries_[kPlain]));
    QVERIFY(controls.caption->isVisible());
    QCOMPARE(controls.caption->text(), QString("Version 1.03 *"));
  }

  void busyWhileWritingAndClosingStopsIt_data() {
    QTest::addColumn<int>("how");
    QTest::newRow("close box") << 0;
    QTest::newRow("Escape") << 1;
    QTest::newRow("Enter") << 2;
  }
  void busyWhileWritingAndClosingStopsIt() {
    QFETCH(int, how);
    // The stalled transfer waits without end unless the close stops it: a
    // close that only waited for the write would hang until the test's limit.
    WindowSetup setup = Setup();
    setup.updateLimits.stallMs = kEndless;
    CFirmwareWriterDlg& window = OpenAndSearch(std::move(setup));
    Controls controls(window);
    TypeHiddenSequence(&window);
    controls.list->setCurrentRow(kStalling);
    prompts_.fileNames = {Sample("stall.bin")};
    controls.write->click();
    // The device takes two chunks and then stops answering.
    QTRY_VERIFY_WITH_TIMEOUT(controls.progress->value() > 0, 20000);
    QVERIFY(controls.Busy());
    QVERIFY(!controls.caption->isVisible());
    QVERIFY(controls.progress->value() < 100);

    QSignalSpy finished(&window, &QDialog::finished);
    if (how == 0) window.close();
    if (how == 1) QTest::keyClick(&window, Qt::Key_Escape);
    if (how == 2) QTest::keyClick(&window, Qt::Key_Return);
    QCOMPARE(finished.count(), 1);
    QVERIFY(!window.isVisible());
    // No report of the stopped write, now or later.
    QCoreApplication::processEvents();
    QCOMPARE(prompts_.messages.size(), size_t(1));
  }

  void writeThatCannotStartReturnsToIdle() {
    WindowSetup setup = Setup();
    auto starts = std::make_shared<int>(0);
    setup.startThread = [starts](std::thread& thread, std::function<void()> body) {
      if ((*starts)++ > 0)
        return kesto::errors::kWouldBlock;  // the search starts, the write does not
      return StartThread(thread, std::move(body));
    };
    CFirmwareWriterDlg& window = OpenAndSearch(std::move(setup));
    Controls controls(window);
    controls.list->setCurrentRow(kPlain);
    prompts_.fileNames = {Sample("KS_N_test.bin")};
    const int invitations = simulator_->Invitations(kPlain);
    controls.write->click();
    QCOMPARE(prompts_.messages.size(), size_t(2));
    QCOMPARE(prompts_.Texts()[1], std::string("処理を開始できませんでした:11"));
    QVERIFY(controls.Idle());
    QVERIFY(controls.write->isEnabled());  // the device is still selected
    QCOMPARE(controls.list->currentRow(), int(kPlain));
    QCOMPARE(simulator_->Invitations(kPlain), invitations);
  }
};

QTEST_MAIN(WindowWriteTest)
#include "window_write_test.moc"
