// Writes from the window against simulated devices on loopback: the checks
// before a write, what the operator sees while it runs and at its end, and
// keys and the close box while it runs.
#include <QComboBox>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <cerrno>

#include "app/window_rules.h"
#include "platform/format.h"
#include "window_harness.h"

using namespace kesto::app;
using namespace kesto::app::testing;

namespace {
enum Row { kSecured = 0, kTmode, kWiFi, kStalling, kPlain };
}  // namespace

class WindowWriteTest : public QObject, WindowFixture {
  Q_OBJECT

 private:
  QTemporaryDir folder_;
  QStringList entries_;  // as a search shows them

  // A window that has searched, with rows in the order of devices_.
  Controls OpenAndSearch(WindowSetup setup) {
    Controls controls(Open(std::move(setup)));
    controls.SearchAndWait();
    return controls;
  }
  Controls OpenAndSearch() { return OpenAndSearch(TestSetup(ports_)); }
  QString Sample(const char* name) const { return folder_.filePath(name); }

  // Starts a write of file into row, confirmed.
  void StartWrite(Controls& controls, int row, const char* file) {
    controls.list->setCurrentRow(row);
    prompts_.fileNames = {Sample(file)};
    controls.write->click();
  }

 private slots:
  void initTestCase() {
    devices_ = {Device("127.0.0.2", 'B', 1), Device("127.0.0.3", 'B', 2, 125, 2, 15),
                Device("127.0.0.4", 'L', 3, 125, 0, 15), Device("127.0.0.5", 'X', 4),
                Device("127.0.0.6", 'B', 5)};
    devices_[kSecured].password = "PELICANUS";
    // Late enough to be seen waiting, slow enough to be seen transferring.
    devices_[kSecured].faults.connectDelayMs = 700;
    devices_[kSecured].faults.ackDelayMs = 30;
    devices_[kStalling].faults.stallAfterBytes = 2048;
    QCOMPARE(StartDevices(), 0);
    QVERIFY(!WriteFile(folder_.path(), "KS_N_test.bin", 20 * 1024 + 100).isEmpty());
    QVERIFY(!WriteFile(folder_.path(), "stall.bin", 16 * 1024).isEmpty());
    QVERIFY(!WriteFile(folder_.path(), "firmware.img", 6000).isEmpty());
    entries_ = OpenAndSearch().Entries();
    QCOMPARE(entries_.size(), int(devices_.size()));
  }
  void cleanupTestCase() { simulator_.reset(); }
  void cleanup() { Close(); }

  void checksBeforeTheFileDialog() {
    WindowSetup setup = TestSetup(ports_);
    // 192.0.2.1 is on no interface here, so nothing can listen there.
    const auto loopback = setup.interfaces;
    setup.interfaces = [loopback] {
      kesto::InterfaceTable table = loopback();
      table.push_back(table[0]);
      table[1].address = *kesto::ParseIpv4("192.0.2.1");
      return table;
    };
    Controls controls = OpenAndSearch(std::move(setup));
    controls.write->click();
    controls.list->setCurrentRow(kTmode);
    controls.write->click();
    window_->findChild<QComboBox*>("interfaceSelector")->setCurrentIndex(1);
    controls.write->click();
    QCOMPARE(prompts_.texts,
             (std::vector<std::string>{kesto::kMessageSelectDevice, kesto::kMessageTmode,
                                       kesto::kMessageFirewall}));
    QVERIFY(prompts_.filterLists.empty());
    QVERIFY(!window_->LogText().empty());  // the listener check's lines stay
    QVERIFY(controls.Idle());
  }

  void fileChoiceAndConfirmation() {
    Controls controls = OpenAndSearch();
    controls.list->setCurrentRow(kWiFi);  // TMODE (id 15) matters only for boards and wireless
    controls.write->click();              // the file dialog is cancelled
    QCOMPARE(prompts_.filterLists.at(0),
             QStringList{"Firmware file (KESTOWiFi*.bin) (KESTOWiFi*.bin)"});
    QVERIFY(window_->LogText().empty());  // cleared on the way to the file

    controls.list->setCurrentRow(kSecured);
    prompts_.fileNames = {Sample("ks_n_test.bin"), Sample("KS_N_test.bin")};
    prompts_.answers = {false};  // Cancel at the confirmation
    controls.write->click();
    controls.write->click();
    const std::string confirmation = prompts_.texts.at(1);
    QCOMPARE(prompts_.texts[0], std::string(kesto::kMessageWrongFile));
    QVERIFY(QString::fromStdString(confirmation).startsWith(Sample("KS_N_test.bin")));
    QVERIFY(QString::fromStdString(confirmation).endsWith("\n" + entries_[kSecured]));
    QVERIFY(controls.Idle());
    QCoreApplication::processEvents();
    QCOMPARE(simulator_->Invitations(kSecured), 0);
  }

  void writeShowsItsPhasesIgnoresKeysAndRemovesTheDevice() {
    Controls controls = OpenAndSearch();
    QStringList shown;  // the bar's text at each step of the transfer
    connect(controls.progress, &QProgressBar::valueChanged, [&](int value) {
      if (value > 0) shown << controls.progress->text();
    });
    StartWrite(controls, kSecured, "KS_N_test.bin");
    QVERIFY(controls.Busy());
    QTRY_COMPARE_WITH_TIMEOUT(controls.progress->text(), QString("デバイスの接続を待っています…"),
                              5000);
    for (const Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter})
      QTest::keyClick(window_.get(), key);
    QTRY_VERIFY_WITH_TIMEOUT(controls.progress->value() > 0, 5000);
    QTest::keyClick(window_.get(), Qt::Key_Escape);
    QTest::keyClick(window_.get(), Qt::Key_Return);
    QVERIFY(window_->isVisible());
    QVERIFY(window_->Running());

    QTRY_COMPARE_WITH_TIMEOUT(prompts_.texts.size(), size_t(2), 20000);
    QCOMPARE(prompts_.texts[1], std::string("正常終了"));
    QCOMPARE(shown.last(), QString("転送中 100%"));
    QCOMPARE(shown.filter(QRegularExpression("^転送中 \\d+%$")), shown);
    // Entry 0 and slot 0 are gone; the rest moved up in both.
    QCOMPARE(controls.Entries(), entries_.mid(1));
    for (size_t slot = 0; slot + 1 < devices_.size(); ++slot)
      QCOMPARE(window_->Devices().records[slot].addressText, devices_[slot + 1].address);
    QVERIFY(!controls.write->isEnabled());
    QVERIFY(controls.Idle());
    QVERIFY(simulator_->WaitForSessions(kSecured, 1, 5000));
    QVERIFY(simulator_->Sessions(kSecured).back().accepted);
  }

  void closeBoxDuringAWriteAsks() {
    // The stalled transfer waits without end unless the close stops it.
    WindowSetup setup = TestSetup(ports_);
    setup.updateLimits.stallMs = 3'600'000;
    Controls controls = OpenAndSearch(std::move(setup));
    const size_t sessions = simulator_->Sessions(kStalling).size();
    StartWrite(controls, kStalling, "stall.bin");
    QTRY_VERIFY_WITH_TIMEOUT(controls.progress->value() > 0, 20000);
    QSignalSpy finished(window_.get(), &QDialog::finished);
    prompts_.answers = {false, true};
    window_->close();  // Cancel: the write goes on
    QCOMPARE(prompts_.texts.back(), std::string(kesto::kMessageStopWrite));
    QVERIFY(window_->isVisible());
    QVERIFY(window_->Running());
    QVERIFY(controls.Busy());
    window_->close();  // OK: stopped and joined
    QCOMPARE(finished.count(), 1);
    QVERIFY(!window_->isVisible());
    QVERIFY(!window_->Running());
    QVERIFY(simulator_->WaitForSessions(kStalling, sessions + 1, 5000));
    QCoreApplication::processEvents();
    QCOMPARE(prompts_.texts.size(), size_t(3));  // no report of the stopped write
  }

  void networkErrorExplainsItselfAndKeepsTheDevice() {
    WindowSetup setup = TestSetup(ports_);
    setup.updateLimits.stallMs = 300;
    Controls controls = OpenAndSearch(std::move(setup));
    StartWrite(controls, kStalling, "stall.bin");
    QTRY_COMPARE_WITH_TIMEOUT(prompts_.texts.size(), size_t(2), 20000);
    const QString message = QString::fromStdString(prompts_.texts[1]);
    QVERIFY2(message.startsWith(QString("ネットワークエラー:%1 (").arg(ETIMEDOUT)),
             qPrintable(message));
    QVERIFY(message.contains(QString::fromStdString(kesto::SystemErrorText(ETIMEDOUT))));
    QCOMPARE(controls.Entries(), entries_);
    QCOMPARE(controls.list->currentRow(), int(kStalling));
    QVERIFY(!controls.write->isEnabled());
    QVERIFY(controls.Idle());
  }

  void hiddenModeAcceptsAnyFile() {
    Controls controls = OpenAndSearch();
    QWidget* const targets[] = {window_.get(), controls.list, controls.search};
    for (const int key : kHiddenKeys)  // with Alt they are mnemonics and do not count
      QTest::keyClick(window_.get(), static_cast<Qt::Key>(key), Qt::AltModifier);
    QCOMPARE(window_->HiddenModeCounter(), kHiddenModeStart);
    for (size_t i = 0; i < kHiddenKeys.size(); ++i)
      QTest::keyClick(targets[i], static_cast<Qt::Key>(kHiddenKeys[i]));
    QCOMPARE(controls.caption->text(), QString("Version 1.03 *"));
    StartWrite(controls, kPlain, "firmware.img");
    QCOMPARE(prompts_.filterLists[0],
             (QStringList{"Firmware file (KS_N*.bin) (KS_N*.bin)", "all files(*.*) (*)"}));
    QVERIFY(!controls.caption->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(prompts_.texts.size(), size_t(2), 20000);
    QCOMPARE(prompts_.texts[1], std::string("正常終了"));
    QVERIFY(!controls.Entries().contains(entries_[kPlain]));
    QVERIFY(controls.caption->isVisible());
    QCOMPARE(controls.caption->text(), QString("Version 1.03 *"));
  }
};

QTEST_MAIN(WindowWriteTest)
#include "window_write_test.moc"
