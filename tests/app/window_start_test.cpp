// The window at rest: start-up state, geometry, texts and mnemonics, the
// hidden key sequence, the log, and closing while idle.
#include <QFontInfo>
#include <QSignalSpy>
#include <QTest>

#include <memory>

#include "app/firmware_writer_dlg.h"
#include "app/window_rules.h"
#include "support/test_ports.h"
#include "window_harness.h"

using namespace kesto::app;
using namespace kesto::app::testing;

class WindowStartTest : public QObject, WindowFixture {
  Q_OBJECT

 private:
  using WindowFixture::Open;
  CFirmwareWriterDlg& Open() { return Open(TestSetup(kesto::testing::NextTestPorts())); }

 private slots:
  void cleanup() { Close(); }

  void startsIdleWithWriteDisabledAndLogHidden() {
    CFirmwareWriterDlg& window = Open();
    Controls controls(window);
    QVERIFY(controls.Found());
    QCOMPARE(window.windowTitle(),
             QString("KESTO-Nシリーズ / 無線KESTO ファームウェアアップデータ"));
    QCOMPARE(controls.caption->text(), QString("Version 1.03"));
    QVERIFY(controls.Idle());
    QVERIFY(!controls.write->isEnabled());
    QVERIFY(!controls.log->isVisible());
    QVERIFY(controls.log->isReadOnly());
    QCOMPARE(controls.progress->minimum(), 0);
    QCOMPARE(controls.progress->maximum(), 100);
    QCOMPARE(controls.progress->value(), 0);
    QCOMPARE(controls.selector->count(), 1);
    QCOMPARE(controls.selector->currentText(), QString("127.0.0.1 (lo)"));
    QCOMPARE(QString::fromStdString(window.SelectedLocalAddress()), QString("127.0.0.1"));
    QCOMPARE(controls.list->count(), 0);
    QCOMPARE(window.HiddenModeCounter(), kHiddenModeStart);
    QCOMPARE(window.focusWidget(), static_cast<QWidget*>(controls.selector));
    QVERIFY(!window.windowIcon().isNull());
    QVERIFY(prompts_.messages.empty());
  }

  void geometryFollowsTheDialogTemplate() {
    CFirmwareWriterDlg& window = Open();
    Controls controls(window);
    QCOMPARE(QFontInfo(window.font()).family(), QString("IPAPGothic"));
    QCOMPARE(window.size(), QSize(575, 390));
    QCOMPARE(window.minimumSize(), window.maximumSize());  // not resizable
    QVERIFY(!(window.windowFlags() & Qt::WindowMinMaxButtonsHint));
    // Dialog units at cx 7, cy 13.
    QCOMPARE(controls.label->geometry(), QRect(8, 16, 472, 13));
    QCOMPARE(controls.search->geometry(), QRect(8, 89, 87, 22));
    QCOMPARE(controls.list->geometry(), QRect(8, 121, 385, 219));
    QCOMPARE(controls.log->geometry(), QRect(402, 121, 157, 138));
    QCOMPARE(controls.write->geometry(), QRect(402, 284, 157, 55));
    // Progress bar and version caption share the bottom line.
    QCOMPARE(controls.progress->geometry(), QRect(8, 359, 551, 22));
    QCOMPARE(controls.caption->geometry().topLeft(), controls.progress->geometry().topLeft());
    QCOMPARE(controls.selector->geometry().topLeft(), QPoint(8, 32));
    QCOMPARE(controls.selector->width(), 551);
  }

  void textsMnemonicsAndTabOrder() {
    CFirmwareWriterDlg& window = Open();
    Controls controls(window);
    QCOMPARE(controls.label->text(), QString("ネットワークデバイス選択(&N)"));
    QCOMPARE(controls.label->buddy(), static_cast<QWidget*>(controls.selector));
    QCOMPARE(controls.search->text(), QString("検索(&S)"));
    QCOMPARE(controls.write->text(), QString("書き込み(&W)"));

    QWidget* const order[] = {controls.selector, controls.search, controls.list, controls.log,
                              controls.write};
    for (size_t i = 0; i + 1 < std::size(order); ++i) {
      QWidget* next = order[i]->nextInFocusChain();
      while (next->focusPolicy() == Qt::NoFocus) next = next->nextInFocusChain();
      QCOMPARE(next, order[i + 1]);
    }

    // Alt+N takes the focus to the interface selector.
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    controls.list->setFocus();
    QTest::keyClick(&window, Qt::Key_N, Qt::AltModifier);
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(controls.selector));
  }

  void noUsableInterfaceEndsTheWindow() {
    WindowSetup setup = TestSetup(kesto::testing::NextTestPorts());
    setup.interfaces = [] { return kesto::InterfaceTable{}; };
    CFirmwareWriterDlg window(std::move(setup), prompts_);
    QCOMPARE(window.DoModal(), -1);
    QCOMPARE(prompts_.Texts(), std::vector<std::string>{kesto::kMessageNoInterface});
    QVERIFY(!prompts_.messages[0].okCancel);
    QVERIFY(!window.isVisible());
    QCOMPARE(Controls(window).selector->count(), 0);
  }

  void interfaceSelectionSetsTheLocalAddress() {
    WindowSetup setup = TestSetup(kesto::testing::NextTestPorts());
    setup.interfaces = [] { return Interfaces({"127.0.0.1", "192.0.2.7"}); };
    CFirmwareWriterDlg& window = Open(std::move(setup));
    Controls controls(window);
    QCOMPARE(controls.selector->itemText(1), QString("192.0.2.7 (lo)"));
    controls.selector->setCurrentIndex(1);
    QCOMPARE(QString::fromStdString(window.SelectedLocalAddress()), QString("192.0.2.7"));
    controls.selector->setCurrentIndex(0);
    QCOMPARE(QString::fromStdString(window.SelectedLocalAddress()), QString("127.0.0.1"));
  }

  void hiddenKeySequence_data() {
    const int first = kHiddenKeys[0], second = kHiddenKeys[1], third = kHiddenKeys[2];
    QTest::addColumn<QList<int>>("keys");
    QTest::addColumn<bool>("on");
    QTest::newRow("first third second third") << QList<int>{first, third, second, third} << true;
    QTest::newRow("second third first") << QList<int>{second, third, first} << false;
    QTest::newRow("first first second third") << QList<int>{first, first, second, third} << true;
  }
  void hiddenKeySequence() {
    QFETCH(QList<int>, keys);
    QFETCH(bool, on);
    CFirmwareWriterDlg& window = Open();
    Controls controls(window);
    // Keys count whichever control has them.
    QWidget* const targets[] = {&window, controls.list, controls.search, controls.selector};
    size_t target = 0;
    for (const int key : keys)
      QTest::keyClick(targets[target++ % std::size(targets)], static_cast<Qt::Key>(key));
    QCOMPARE(window.HiddenModeCounter() == kHiddenModeOn, on);
    QCOMPARE(controls.caption->text(), QString(on ? "Version 1.03 *" : "Version 1.03"));
  }

  void hiddenKeysIgnoreAltButNotShift() {
    CFirmwareWriterDlg& window = Open();
    for (const int key : kHiddenKeys)
      QTest::keyClick(&window, static_cast<Qt::Key>(key), Qt::AltModifier);
    QCOMPARE(window.HiddenModeCounter(), kHiddenModeStart);
    for (const int key : kHiddenKeys)
      QTest::keyClick(&window, static_cast<Qt::Key>(key), Qt::ShiftModifier);
    QCOMPARE(window.HiddenModeCounter(), kHiddenModeOn);
  }

  void hiddenMarkSurvivesBusyState() {
    CFirmwareWriterDlg& window = Open();
    Controls controls(window);
    TypeHiddenSequence(&window);
    window.SetIdle(false);
    QVERIFY(controls.Busy());
    QCOMPARE(controls.progress->value(), 0);
    window.SetIdle(true);
    QVERIFY(controls.Idle());
    QCOMPARE(controls.caption->text(), QString("Version 1.03 *"));
  }

  void logKeepsPiecesAsTheyCame() {
    CFirmwareWriterDlg& window = Open();
    Controls controls(window);
    window.AppendLog("socket :");
    window.AppendLog("ok\r\n");
    window.AppendLog("listen :");
    window.AppendLog(".");
    window.AppendLog(".");
    QCOMPARE(QString::fromStdString(window.LogText()), QString("socket :ok\r\nlisten :.."));
    QCOMPARE(controls.log->toPlainText(), QString("socket :ok\nlisten :.."));
    QVERIFY(!controls.log->isVisible());
  }

  void escapeAndEnterCloseTheIdleWindow() {
    CFirmwareWriterDlg& window = Open();
    QSignalSpy finished(&window, &QDialog::finished);
    QTest::keyClick(&window, Qt::Key_Escape);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(window.result(), int(QDialog::Rejected));
    QVERIFY(!window.isVisible());

    CFirmwareWriterDlg& second = Open();
    Controls controls(second);
    controls.list->setFocus();
    QTest::keyClick(controls.list, Qt::Key_Return);
    QCOMPARE(second.result(), int(QDialog::Accepted));
    QVERIFY(!second.isVisible());
  }

  void enterOnAButtonPressesIt() {
    CFirmwareWriterDlg& window = Open();
    Controls controls(window);
    controls.search->setFocus();
    QTest::keyClick(controls.search, Qt::Key_Return);
    QVERIFY(window.isVisible());
    QVERIFY(!controls.search->isEnabled());  // the search started
    QTRY_VERIFY_WITH_TIMEOUT(controls.Idle(), 20000);
    QCOMPARE(controls.list->count(), 0);  // nobody answers on these ports
    QVERIFY(prompts_.messages.empty());
  }
};

QTEST_MAIN(WindowStartTest)
#include "window_start_test.moc"
