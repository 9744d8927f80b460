// The demo's devices and sample images carry the whole flow: every kind is
// found, the TMODE device is refused, and each sample writes into its kind.
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include "app/demo.h"
#include "app/firmware_writer_dlg.h"
#include "update/write_rules.h"
#include "window_harness.h"

using namespace kesto::app;
using namespace kesto::app::testing;
namespace sim = kesto::sim;

class WindowDemoTest : public QObject, WindowFixture {
  Q_OBJECT

 private:
  QTemporaryDir folder_;

 private slots:
  void initTestCase() {
    devices_ = DemoDevices();
    QCOMPARE(StartDevices(), 0);
    QVERIFY(folder_.isValid());
    QVERIFY(WriteDemoSamples(folder_.path()));
  }
  void cleanupTestCase() { simulator_.reset(); }

  void interfacesOfferLoopbackFirst() {
    const kesto::InterfaceTable table = DemoInterfaces();
    QVERIFY(!table.empty());
    QCOMPARE(QString::fromStdString(kesto::InterfaceEntryText(table[0])),
             QString("127.0.0.1 (lo)"));
  }

  void everySampleWritesIntoItsKind() {
    ScriptedPrompts prompts;
    WindowSetup setup = TestSetup(ports_);
    setup.firmwareFolder = folder_.path();
    CFirmwareWriterDlg window(std::move(setup), prompts);
    QVERIFY(window.OnInitDialog());
    window.show();
    Controls controls(window);
    QVERIFY(SearchAndWait(controls));
    const QStringList entries = controls.Entries();
    QCOMPARE(entries.size(), 5);
    QVERIFY(entries[0].contains("KS-B20"));
    QVERIFY(entries[3].endsWith("WiFi / ver. 1.25 (-58 dBm)"));
    QVERIFY(entries[4].contains("PQ"));

    controls.list->setCurrentRow(1);
    controls.write->click();
    QCOMPARE(prompts.Texts(), std::vector<std::string>{kesto::kMessageTmode});

    // Rows move up as each written device leaves the list.
    const struct {
      int row;
      const char* sample;
      const char* address;
    } writes[] = {{0, "KS_N_demo.bin", "127.0.0.2"},
                  {1, "KS_N_demo.bin", "127.0.0.4"},
                  {1, "KESTOWiFi_demo.bin", "127.0.0.5"},
                  {1, "PQ_demo.bin", "127.0.0.6"}};
    for (const auto& write : writes) {
      prompts.messages.clear();
      QCOMPARE(window.Devices().records[write.row].addressText, std::string(write.address));
      controls.list->setCurrentRow(write.row);
      prompts.fileNames = {QDir(folder_.path()).filePath(write.sample)};
      controls.write->click();
      QTRY_COMPARE_WITH_TIMEOUT(prompts.messages.size(), size_t(2), 20000);
      QCOMPARE(prompts.Texts()[1], std::string("正常終了"));
    }
    QCOMPARE(controls.list->count(), 1);  // the TMODE device stays
  }
};

QTEST_MAIN(WindowDemoTest)
#include "window_demo_test.moc"
