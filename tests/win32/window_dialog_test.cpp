// kesto-fw-gui's dialog as an operator meets it, under Wine's null display
// driver: the window runs on the main thread with loopback as its only
// interface; a second thread works it with window messages only, against the
// devices of window_dialog.sh (ports and folder in the environment).
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "app/win32/dialog_front_end.h"
#include "app/win32/firmware_writer_window.h"
#include "dialog_driver.h"
#include "platform/wide_text.h"
#include "texts/operator_texts.h"

using namespace kesto;
using namespace kesto::app;
using namespace kesto::test;

namespace {

std::string FileText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

// The template's controls in tab order: id, class, text, place in dialog
// units, styles, shown at start.
struct Expected {
  int id;
  const wchar_t* type;
  const char* text;
  RECT place;  // x, y, width, height
  LONG style;
  bool shown;
};
const Expected kTemplate[] = {
    {-1, L"Static", "ネットワークデバイス選択(&N)", {5, 10, 270, 8}, WS_GROUP, true},
    {1036, L"ComboBox", "127.0.0.1 (lo)", {5, 20, 315, 330}, CBS_DROPDOWNLIST | WS_TABSTOP, true},
    {-1, L"Static", "", {5, 45, 315, 1}, SS_ETCHEDHORZ, true},
    {1003, L"Button", "検索(&S)", {5, 55, 50, 14}, WS_TABSTOP, true},
    {1002, L"ListBox", "", {5, 75, 220, 135}, WS_TABSTOP | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT, true},
    {1000, L"Edit", "", {230, 75, 90, 85}, ES_MULTILINE | ES_READONLY | WS_TABSTOP, false},
    {1001, L"Button", "書き込み(&W)", {230, 175, 90, 34}, WS_TABSTOP, true},
    {1004, L"msctls_progress32", "Progress1", {5, 221, 315, 14}, 0, false},
    {1005, L"Static", "Version 1.03", {5, 221, 270, 8}, WS_GROUP, true},
};
// Not compared: WS_BORDER, which dialogs draw as a client edge, and
// WS_VSCROLL, which a control sets while it shows its scroll bar.

void CheckTemplate(const Driver& d) {
  EXPECT_EQ(Text(d.dialog), kWindowTitle);
  const LONG frame = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;  // no size, no min/max
  EXPECT_EQ(GetWindowLongW(d.dialog, GWL_STYLE) &
                (frame | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX),
            frame);
  EXPECT_TRUE(GetWindowLongW(d.dialog, GWL_EXSTYLE) & WS_EX_APPWINDOW);
  RECT client, size{0, 0, 329, 240};
  GetClientRect(d.dialog, &client);
  MapDialogRect(d.dialog, &size);
  EXPECT_TRUE(EqualRect(&client, &size));
  HWND control = GetWindow(d.dialog, GW_CHILD);
  for (const Expected& want : kTemplate) {
    SCOPED_TRACE(want.text);
    ASSERT_NE(control, nullptr);
    wchar_t type[64] = {};
    GetClassNameW(control, type, 64);
    EXPECT_EQ(GetDlgCtrlID(control), want.id);
    EXPECT_STREQ(type, want.type);
    EXPECT_EQ(Text(control), want.text);
    EXPECT_EQ(GetWindowLongW(control, GWL_STYLE) & (want.style | WS_CHILD), want.style | WS_CHILD);
    EXPECT_EQ(IsWindowVisible(control) != 0, want.shown);
    RECT px = want.place, place;  // each number mapped on its own, as the dialog places controls
    MapDialogRect(d.dialog, &px);
    GetWindowRect(control, &place);
    MapWindowPoints(nullptr, d.dialog, reinterpret_cast<POINT*>(&place), 2);
    // A closed combo box is as high as its font needs (330: its open list);
    // a control that draws an edge may grow by a pixel each side.
    const LONG got[] = {place.left, place.top, place.right - place.left,
                        want.id == 1036 ? px.bottom : place.bottom - place.top};
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(got[i], (&px.left)[i], 2) << "edge " << i;
    control = GetWindow(control, GW_HWNDNEXT);
  }
}

void Operate(Driver& d) {
  CheckTemplate(d);
  ASSERT_TRUE(d.Busy(false));
  EXPECT_FALSE(d.Enabled(ControlId::kWriteButton));

  d.Click(ControlId::kSearchButton);
  EXPECT_TRUE(Eventually([&] { return d.Busy(); }));
  ASSERT_TRUE(Eventually([&] { return d.Busy(false); }));
  std::vector<std::string> want;
  for (const char* entry :
       {"02 / KS-B21 / ver. 1.25", "03 / WiFi / ver. 1.25 (-58 dBm)", "04 / KS-W17 / ver. 1.25",
        "05 / KS-B21 / ver. 1.25", "06 / KS-B21 / ver. 1.25"})
    want.push_back("127.0.0." + std::string(1, entry[1]) + " / 02-00-00-00-00-" + entry);
  ASSERT_EQ(d.Rows(), want);
  d.Click(ControlId::kWriteButton);  // enabled although nothing is selected
  EXPECT_EQ(d.Message(), kMessageSelectDevice);
  // scripts/windows-screenshot.sh takes its picture here, with the wireless row chosen.
  if (const char* picture = std::getenv("KESTO_SCREENSHOT")) {
    d.Select(1);
    std::ofstream{picture}.put('1');
    Eventually([&] { return !std::ifstream{picture}; });
  }

  ASSERT_TRUE(d.Write(0, "KS_N_test.bin", IDOK));
  EXPECT_EQ(d.Message(0), "正常終了");
  EXPECT_TRUE(d.Busy());  // until the message is answered
  EXPECT_EQ(d.Message(), "正常終了");
  const auto idleAgain = [&] { return d.Busy(false) && !d.Enabled(ControlId::kWriteButton); };
  EXPECT_TRUE(Eventually(idleAgain));
  want.erase(want.begin());
  EXPECT_EQ(d.Rows(), want);
  EXPECT_EQ(d.List(LB_GETCURSEL), LB_ERR);
  const std::string sent = FileText(d.folder + "\\KS_N_test.bin");
  EXPECT_TRUE(Eventually([&] { return FileText(d.folder + "\\received\\127.0.0.2.bin") == sent; }));

  ASSERT_TRUE(d.Write(3, "other.bin"));
  EXPECT_EQ(d.Message(), kMessageWrongFile);
  d.Select(1);
  d.Click(ControlId::kWriteButton);
  EXPECT_EQ(d.Message(), Utf8FromWide(ControlText(kMessageTmode).c_str()));
  ASSERT_TRUE(d.Write(2, "KS_N_test.bin", IDOK));  // a device silent to the invitation
  EXPECT_EQ(d.Message(), "KESTO通信エラー\r\nデバイスが書き込み開始の通知に応答しませんでした。");
  EXPECT_TRUE(Eventually(idleAgain));
  EXPECT_EQ(d.Rows(), want);
  EXPECT_EQ(d.List(LB_GETCURSEL), 2);

  // A device that stops taking data: Escape and Enter change nothing; the
  // close box asks, and Cancel goes on until the write gives up.
  ASSERT_TRUE(d.Write(3, "KS_N_test.bin", IDOK));
  ASSERT_TRUE(Eventually([&] { return d.Busy(); }));
  d.Post(WM_KEYDOWN, VK_ESCAPE);
  d.Post(WM_KEYDOWN, VK_RETURN);
  ASSERT_TRUE(d.Handled());
  EXPECT_TRUE(d.Busy());
  EXPECT_EQ(d.Owned(0xFFFF), nullptr);
  d.Post(WM_SYSCOMMAND, SC_CLOSE);
  EXPECT_EQ(d.Message(IDCANCEL), kMessageStopWrite);
  EXPECT_EQ(d.Message().rfind("ネットワークエラー:10060 (", 0), 0u);

  // Hidden keys: a system key-down (Alt held) does not count; keys between do not reset.
  const HWND list = d.Item(ControlId::kDeviceList), caption = d.Item(ControlId::kVersionCaption);
  d.Post(WM_SYSKEYDOWN, 'K', list);
  for (const char key : {'Z', 'J', 'K', 'X', 'Z'}) d.Post(WM_KEYDOWN, key, list);
  ASSERT_TRUE(d.Handled());
  EXPECT_EQ(Text(caption), "Version 1.03");
  d.Post(WM_KEYDOWN, 'J', list);
  EXPECT_TRUE(Eventually([&] { return Text(caption) == "Version 1.03 *"; }));
  d.Post(WM_SYSCHAR, 's');  // Alt+S, the Search button's mnemonic: the mark outlasts the run
  EXPECT_TRUE(Eventually([&] { return d.Busy(); }));
  EXPECT_TRUE(Eventually([&] { return d.Busy(false) && Text(caption) == "Version 1.03 *"; }));
}

}  // namespace

TEST(Win32Window, AsTheOperatorMeetsIt) {
  WindowSetup setup;
  setup.interfaces = [] {
    InterfaceRecord loopback{"lo", htonl(INADDR_LOOPBACK), htonl(IN_CLASSA_NET)};
    return InterfaceTable{loopback};
  };
  auto& ports = setup.ports;
  ASSERT_EQ(std::sscanf(std::getenv("KESTO_TEST_PORTS"), "%hu,%hu,%hu", &ports.discovery,
                        &ports.query, &ports.update),
            3);
  setup.searchLimits.quietMs = 500;
  setup.updateLimits.answerWaitMs = 300;
  setup.updateLimits.stallMs = 2000;
  const INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  std::thread driver([windowThread = GetCurrentThreadId()] {
    Driver d;
    d.folder = std::getenv("KESTO_TEST_FOLDER");
    if (d.Find(kWindowTitle)) Operate(d);
    // Escape on the idle window ends it; after a failure, the run is ended for good.
    d.Post(WM_KEYDOWN, VK_ESCAPE);
    if (!Eventually([&] { return !IsWindow(d.dialog); }))
      PostThreadMessageW(windowThread, WM_QUIT, 0, 0);
  });
  EXPECT_EQ(RunFirmwareWriterWindow(std::move(setup)), IDCANCEL);
  driver.join();
}
