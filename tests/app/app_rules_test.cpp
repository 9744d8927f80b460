// The window's small rules: version caption, hidden key sequence, file
// filters for Qt, message texts and the command line.
#include <QTest>

#include "app/firmware_writer_app.h"
#include "app/prompts.h"
#include "app/window_rules.h"

using namespace kesto::app;

class AppRulesTest : public QObject {
  Q_OBJECT

 private slots:
  void versionText_data() {
    QTest::addColumn<int>("major");
    QTest::addColumn<int>("minor");
    QTest::addColumn<int>("build");
    QTest::addColumn<int>("revision");
    QTest::addColumn<QString>("text");
    QTest::newRow("1.0.3.0") << 1 << 0 << 3 << 0 << "Version 1.03";
    QTest::newRow("1.2.3.4") << 1 << 2 << 3 << 4 << "Version 1.234";
    QTest::newRow("2.10.0.0") << 2 << 10 << 0 << 0 << "Version 2.100";
  }
  void versionText() {
    QFETCH(int, major);
    QFETCH(int, minor);
    QFETCH(int, build);
    QFETCH(int, revision);
    QFETCH(QString, text);
    QCOMPARE(QString::fromStdString(kesto::VersionText(major, minor, build, revision)), text);
  }

  void programVersionIsTheProjectVersion() {
    QCOMPARE(QString::fromStdString(ProgramVersionText()), QString("Version 1.03"));
  }

  void hiddenSequence_data() {
    const int first = kHiddenKeys[0], second = kHiddenKeys[1], third = kHiddenKeys[2];
    QTest::addColumn<QList<int>>("keys");
    QTest::addColumn<int>("counter");
    QTest::newRow("in order") << QList<int>{first, second, third} << 0;
    QTest::newRow("early third ignored") << QList<int>{first, third, second, third} << 0;
    QTest::newRow("wrong order") << QList<int>{second, third, first} << 2;
    QTest::newRow("first twice") << QList<int>{first, first, second, third} << 0;
    QTest::newRow("other keys between") << QList<int>{'A', first, 'Q', second, 'B', third} << 0;
    QTest::newRow("stays on") << QList<int>{first, second, third, first, second} << 0;
    QTest::newRow("unrelated") << QList<int>{'A', 'B', 'C'} << 3;
  }
  void hiddenSequence() {
    QFETCH(QList<int>, keys);
    QFETCH(int, counter);
    int state = kHiddenModeStart;
    for (const int key : keys) state = AdvanceHiddenMode(state, key);
    QCOMPARE(state, counter);
  }

  void hiddenKeysAreThreeDifferentLetters() {
    for (const int key : kHiddenKeys) QVERIFY(key >= 'A' && key <= 'Z');
    QVERIFY(kHiddenKeys[0] != kHiddenKeys[1] && kHiddenKeys[1] != kHiddenKeys[2] &&
            kHiddenKeys[0] != kHiddenKeys[2]);
    // N, S and W are the window's mnemonics.
    for (const int key : kHiddenKeys) QVERIFY(key != 'N' && key != 'S' && key != 'W');
  }

  void nameFilters_data() {
    QTest::addColumn<QString>("bars");
    QTest::addColumn<QStringList>("filters");
    QTest::newRow("normal") << "Firmware file (KS_N*.bin)|KS_N*.bin||"
                            << QStringList{"Firmware file (KS_N*.bin) (KS_N*.bin)"};
    QTest::newRow("hidden") << "Firmware file (PQ*.bin)|PQ*.bin|all files(*.*)|*.*||"
                            << QStringList{"Firmware file (PQ*.bin) (PQ*.bin)",
                                           "all files(*.*) (*)"};
    QTest::newRow("empty prefix") << "Firmware file (*.bin)|*.bin||"
                                  << QStringList{"Firmware file (*.bin) (*.bin)"};
    QTest::newRow("several patterns")
        << "Images|*.bin;*.img||" << QStringList{"Images (*.bin *.img)"};
    QTest::newRow("empty") << "" << QStringList{};
    QTest::newRow("unpaired") << "Firmware file" << QStringList{};
  }
  void nameFilters() {
    QFETCH(QString, bars);
    QFETCH(QStringList, filters);
    QCOMPARE(QtNameFilters(bars.toStdString()), filters);
  }

  void displayTextBreaksLines() {
    QCOMPARE(DisplayText("通信タイムアウト\r\nファイアウォール"),
             QString("通信タイムアウト\nファイアウォール"));
    QCOMPARE(DisplayText("a\nb"), QString("a\nb"));
    QCOMPARE(DisplayText("socket :ok\r\n"), QString("socket :ok\n"));
  }

  void startOptions() {
    auto options = ParseStartOptions({});
    QVERIFY(options);
    QVERIFY(!options->demo && !options->help && !options->version);
    options = ParseStartOptions({"--demo"});
    QVERIFY(options && options->demo);
    options = ParseStartOptions({"-h"});
    QVERIFY(options && options->help && !options->demo);
    options = ParseStartOptions({"--demo", "--version"});
    QVERIFY(options && options->demo && options->version);
    QVERIFY(!ParseStartOptions({"--bogus"}));
    QVERIFY(!ParseStartOptions({"--demo", "extra"}));
    QVERIFY(!ParseStartOptions({"-demo"}));
    QCOMPARE(ParseStartOptions({"--host-port", "4000"})->hostPort, uint16_t{4000});
    QCOMPARE(ParseStartOptions({"--host-port=4001"})->hostPort, uint16_t{4001});
    for (const char* bad : {"0", "65536", "x", ""})
      QVERIFY(!ParseStartOptions({"--host-port", bad}));
    QVERIFY(!ParseStartOptions({"--host-port"}));
  }
};

QTEST_GUILESS_MAIN(AppRulesTest)
#include "app_rules_test.moc"
