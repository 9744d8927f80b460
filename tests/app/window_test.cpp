// The window against simulated devices on loopback: start-up, searches,
// writes, what the operator sees while they run, and keys and the close box
// while idle and busy. Also its small rules and the demo.
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <deque>
#include <memory>

#include "app/demo.h"
#include "app/firmware_writer_app.h"
#include "app/firmware_writer_dlg.h"
#include "app/window_rules.h"
#include "platform/errors.h"
#include "platform/socket.h"
#include "sim/simulator.h"
#include "support/test_ports.h"

using namespace kesto::app;
namespace sim = kesto::sim;

namespace {

// Answers the window's prompts from a script and records what was asked, so
// no modal dialog ever opens in a test.
class ScriptedPrompts final : public Prompts {
 public:
  std::vector<std::string> texts;  // every message shown, in order
  std::deque<bool> answers;        // for OK/Cancel boxes; OK when empty
  QStringList fileNames;           // chosen paths; cancelled when empty
  std::vector<QStringList> filterLists;

  bool Message(QWidget*, const std::string& text, bool okCancel) override {
    texts.push_back(text);
    const bool answer = !okCancel || answers.empty() || answers.front();
    if (okCancel && !answers.empty()) answers.pop_front();
    return answer;
  }
  QString OpenFirmwareFile(QWidget*, const QStringList& nameFilters, const QString&) override {
    filterLists.push_back(nameFilters);
    return fileNames.isEmpty() ? QString() : fileNames.takeFirst();
  }
};

// The window's controls, found by name as an operator would see them.
struct Controls {
  explicit Controls(QWidget& window)
      : search(window.findChild<QPushButton*>("searchButton")),
        list(window.findChild<QListWidget*>("deviceList")),
        write(window.findChild<QPushButton*>("writeButton")),
        progress(window.findChild<QProgressBar*>("progressBar")),
        caption(window.findChild<QLabel*>("versionCaption")) {}

  // As SetIdle leaves them (the Write button aside, which has rules of its own).
  bool Idle() const {
    return search->isEnabled() && list->isEnabled() && !progress->isVisible() &&
           caption->isVisible();
  }
  bool Busy() const {
    return !search->isEnabled() && !list->isEnabled() && !write->isEnabled() &&
           progress->isVisible() && !caption->isVisible();
  }
  QStringList Entries() const {
    QStringList entries;
    for (int i = 0; i < list->count(); ++i) entries << list->item(i)->text();
    return entries;
  }
  bool SearchAndWait() const {
    search->click();
    return QTest::qWaitFor([this] { return search->isEnabled(); }, 20000);
  }

  QPushButton* search;
  QListWidget* list;
  QPushButton* write;
  QProgressBar* progress;
  QLabel* caption;
};

// Loopback as the only interface, the simulator's ports, short waits.
WindowSetup TestSetup(const sim::Ports& ports) {
  WindowSetup setup;
  setup.interfaces = [] {
    kesto::InterfaceRecord loopback;
    loopback.friendlyName = "lo";
    loopback.address = *kesto::ParseIpv4("127.0.0.1");
    return kesto::InterfaceTable{loopback};
  };
  setup.ports = {ports.discovery, ports.query, ports.update};
  setup.searchLimits.quietMs = 300;
  setup.searchLimits.pauseMs = 10;
  setup.updateLimits.answerWaitMs = 500;
  setup.updateLimits.connectWaitMs = 2000;
  return setup;
}

enum Row { kSecured = 0, kTmode, kWiFi, kStalling, kPlain };

bool WriteFile(const QString& path, int size) {
  QFile file(path);
  return file.open(QIODevice::WriteOnly) && file.write(QByteArray(size, 'k')) == size;
}

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private:
  std::vector<sim::DeviceConfig> devices_;
  sim::Ports ports_ = kesto::testing::NextTestPorts();
  std::unique_ptr<sim::Simulator> simulator_;
  ScriptedPrompts prompts_;
  std::unique_ptr<CFirmwareWriterDlg> window_;
  QTemporaryDir folder_;
  QStringList entries_;  // as a search shows them

  // The window on setup, shown when its start-up succeeded.
  CFirmwareWriterDlg& Open(WindowSetup setup) {
    window_ = std::make_unique<CFirmwareWriterDlg>(std::move(setup), prompts_);
    if (window_->OnInitDialog()) window_->show();
    return *window_;
  }
  // A window that has searched, with rows in the order of devices_.
  Controls OpenAndSearch(WindowSetup setup) {
    Controls controls(Open(std::move(setup)));
    controls.SearchAndWait();
    return controls;
  }
  Controls OpenAndSearch() { return OpenAndSearch(TestSetup(ports_)); }
  QString Sample(const char* name) const { return folder_.filePath(name); }
  void StartWrite(Controls& controls, int row, const char* file) {
    controls.list->setCurrentRow(row);
    prompts_.fileNames = {Sample(file)};
    controls.write->click();  // confirmed
  }

 private slots:
  void initTestCase() {
    devices_ = {sim::MakeDevice("127.0.0.2", 'B', 1, 125, 0, 1),
                sim::MakeDevice("127.0.0.3", 'B', 2, 125, 2, 15),
                sim::MakeDevice("127.0.0.4", 'L', 3, 125, 0, 15),
                sim::MakeDevice("127.0.0.5", 'X', 4, 125, 0, 1),
                sim::MakeDevice("127.0.0.6", 'B', 5, 125, 0, 1)};
    for (size_t i = 0; i < devices_.size(); ++i)  // replies in list order
      devices_[i].faults.replyDelayMs = 25 * int(i);
    devices_[kSecured].password = "PELICANUS";
    // Late enough to be seen waiting, slow enough to be seen transferring.
    devices_[kSecured].faults.connectDelayMs = 700;
    devices_[kSecured].faults.ackDelayMs = 30;
    devices_[kWiFi].rssi = -58;
    devices_[kStalling].faults.stallAfterBytes = 2048;
    simulator_ = std::make_unique<sim::Simulator>(devices_, ports_);
    QCOMPARE(simulator_->Start(), 0);
    QVERIFY(WriteFile(Sample("KS_N_test.bin"), 20 * 1024 + 100));
    QVERIFY(WriteFile(Sample("stall.bin"), 16 * 1024));
    QVERIFY(WriteFile(Sample("firmware.img"), 6000));
    entries_ = OpenAndSearch().Entries();
  }
  void cleanupTestCase() { simulator_.reset(); }
  void cleanup() {
    window_.reset();
    prompts_ = ScriptedPrompts();
  }

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
  }

  void commandLine() {
    const struct {
      QStringList arguments;
      int hostPort;  // -1: refused
    } cases[] = {{{}, 0},
                 {{"--demo", "--host-port", "40000"}, 40000},
                 {{"--host-port=65535"}, 65535},
                 {{"--host-port", "0"}, -1},
                 {{"--host-port", "65536"}, -1},
                 {{"--host-port", "80x"}, -1},
                 {{"--host-port"}, -1},
                 {{"--demo", "extra"}, -1}};
    for (const auto& c : cases) {
      QString error;
      const auto options = ParseStartOptions(c.arguments, error);
      QCOMPARE(options ? int(options->hostPort) : -1, c.hostPort);
      QCOMPARE(error.isEmpty(), c.hostPort >= 0);
    }
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
    QTest::keyClick(&window, Qt::Key_Escape);
    QVERIFY(!window.isVisible());
  }

  void noUsableInterfaceEndsTheWindow() {
    WindowSetup setup = TestSetup(ports_);
    setup.interfaces = [] { return kesto::InterfaceTable{}; };
    CFirmwareWriterDlg window(std::move(setup), prompts_);
    QCOMPARE(window.DoModal(), -1);
    QCOMPARE(prompts_.texts, std::vector<std::string>{kesto::kMessageNoInterface});
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
      QVERIFY(controls.Idle());
      QVERIFY(controls.write->isEnabled());  // although nothing is selected
      controls.list->setCurrentRow(2);
    }
    QCOMPARE(controls.Entries(), entries_);
    QCOMPARE(entries_.size(), int(devices_.size()));
    QVERIFY(entries_[kWiFi].endsWith("(-58 dBm)"));
    for (size_t i = 0; i < devices_.size(); ++i)
      QCOMPARE(window.Devices().records[i].addressText, devices_[i].address);
    QCOMPARE(window.Devices().records[kWiFi].kind, kesto::kKindWiFi);
    QCOMPARE(progress.count(), 0);  // a search never moves the bar
    controls.list->clearSelection();
    QVERIFY(!controls.write->isEnabled());
    QVERIFY(prompts_.texts.empty());
  }

  void closingDuringASearchStopsIt() {
    // A device that accepts the query and never answers keeps the search busy.
    sim::DeviceConfig hanging = sim::MakeDevice("127.0.0.9", 'B', 1, 125, 0, 1);
    hanging.faults.infoHang = true;
    const sim::Ports ports = kesto::testing::NextTestPorts();
    sim::Simulator simulator({hanging}, ports);
    QCOMPARE(simulator.Start(), 0);
    WindowSetup setup = TestSetup(ports);
    setup.searchLimits.receiveTimeoutMs = 3'600'000;  // ended only by the close
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
    setup.startThread = [](std::thread&, std::function<void()>) {
      return kesto::errors::kWouldBlock;
    };
    Controls controls(Open(std::move(setup)));
    controls.search->click();
    QCOMPARE(prompts_.texts, std::vector<std::string>{"処理を開始できませんでした:11"});
    QVERIFY(controls.Idle());
  }

  void checksBeforeTheFileDialog() {
    WindowSetup setup = TestSetup(ports_);
    // 192.0.2.1 is on no interface here, so nothing can listen there.
    setup.interfaces = [loopback = setup.interfaces] {
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
    QCOMPARE(prompts_.texts.size(), size_t(2));
    QCOMPARE(prompts_.texts[0], std::string(kesto::kMessageWrongFile));
    const QString confirmation = QString::fromStdString(prompts_.texts[1]);
    QVERIFY(confirmation.startsWith(Sample("KS_N_test.bin")));
    QVERIFY(confirmation.endsWith("\n" + entries_[kSecured]));
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
    QVERIFY(window_->Running());
    QTRY_VERIFY_WITH_TIMEOUT(controls.progress->value() > 0, 5000);
    QTest::keyClick(window_.get(), Qt::Key_Escape);
    QTest::keyClick(window_.get(), Qt::Key_Return);
    QVERIFY(window_->isVisible());

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
    QVERIFY(window_->close());  // idle again: no question
    QCOMPARE(prompts_.texts.size(), size_t(2));
  }

  void closeBoxDuringAWriteAsks() {
    WindowSetup setup = TestSetup(ports_);
    setup.updateLimits.stallMs = 3'600'000;  // the stalled transfer ends only by the close
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
    QVERIFY2(message.startsWith(QString("ネットワークエラー:%1 (").arg(kesto::errors::kTimedOut)),
             qPrintable(message));
    QVERIFY(
        message.contains(QString::fromStdString(kesto::SystemErrorText(kesto::errors::kTimedOut))));
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
    QCOMPARE(controls.caption->text(), QString("Version 1.03 *"));
  }

  void demoStaysOnLoopbackAndEverySampleWritesIntoItsKind() {
    QCOMPARE(DemoInterfaces().size(), size_t(1));
    QCOMPARE(kesto::InterfaceEntryText(DemoInterfaces()[0]), std::string("127.0.0.1 (lo)"));
    const sim::Ports ports = kesto::testing::NextTestPorts();
    sim::Simulator simulator(DemoDevices(), ports);
    QCOMPARE(simulator.Start(), 0);
    QTemporaryDir folder;
    QVERIFY(WriteDemoSamples(folder.path()));
    Controls controls(Open(TestSetup(ports)));
    QVERIFY(controls.SearchAndWait());
    QCOMPARE(controls.list->count(), 5);
    // Rows move up as each written device leaves the list; TMODE (row 1) is refused.
    for (const char* sample :
         {"", "KS_N_demo.bin", "KS_N_demo.bin", "KESTOWiFi_demo.bin", "PQ_demo.bin"}) {
      prompts_.texts.clear();
      prompts_.fileNames = {folder.filePath(sample)};
      controls.list->setCurrentRow(*sample && controls.list->count() == 5 ? 0 : 1);
      controls.write->click();
      QTRY_VERIFY_WITH_TIMEOUT(!prompts_.texts.empty() && controls.Idle(), 20000);
      QCOMPARE(prompts_.texts.back(), std::string(*sample ? "正常終了" : kesto::kMessageTmode));
    }
    QCOMPARE(controls.list->count(), 1);
  }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
