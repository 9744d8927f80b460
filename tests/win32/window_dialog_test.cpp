// kesto-fw-gui's dialog as an operator meets it, under Wine's null display
// driver: the window runs on the main thread with loopback as its only
// interface; a second thread works it with window messages only, against the
// devices of window_dialog.sh (ports and folder in the environment).
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/operator_texts.h"
#include "app/win32/dialog_front_end.h"
#include "app/win32/firmware_writer_window.h"
#include "platform/wide_text.h"

using namespace kesto;
using namespace kesto::app;

namespace {

// Polls the window's state until it holds; the window's thread does the work.
bool Eventually(const std::function<bool()>& holds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!holds())
    if (std::chrono::steady_clock::now() > deadline) return false;
    else std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return true;
}

std::string Text(HWND window) {
  wchar_t text[1024] = {};
  SendMessageW(window, WM_GETTEXT, std::size(text), reinterpret_cast<LPARAM>(text));
  return Utf8FromWide(text);
}

std::string FileText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

struct Driver {
  HWND dialog;
  std::string folder = std::getenv("KESTO_TEST_FOLDER");
  int barrier = 100000;

  HWND Item(int id) const { return GetDlgItem(dialog, id); }
  HWND Item(ControlId id) const { return Item(static_cast<int>(id)); }
  bool Enabled(ControlId id) const { return IsWindowEnabled(Item(id)); }
  bool Visible(ControlId id) const { return IsWindowVisible(Item(id)); }
  bool Idle() const {
    return Enabled(ControlId::kInterfaceSelector) && Enabled(ControlId::kSearchButton) &&
           Enabled(ControlId::kDeviceList) && Visible(ControlId::kVersionCaption) &&
           !Visible(ControlId::kProgressBar);
  }
  bool Busy() const {
    return !Enabled(ControlId::kInterfaceSelector) && !Enabled(ControlId::kSearchButton) &&
           !Enabled(ControlId::kDeviceList) && !Enabled(ControlId::kWriteButton) &&
           !Visible(ControlId::kVersionCaption) && Visible(ControlId::kProgressBar);
  }
  int Rows() const { return static_cast<int>(SendMessageW(Item(ControlId::kDeviceList), LB_GETCOUNT, 0, 0)); }
  std::string Row(int row) const {
    wchar_t text[256] = {};
    SendMessageW(Item(ControlId::kDeviceList), LB_GETTEXT, row, reinterpret_cast<LPARAM>(text));
    return Utf8FromWide(text);
  }
  void Click(ControlId id) const { PostMessageW(Item(id), BM_CLICK, 0, 0); }
  void Select(int row) const {
    PostMessageW(Item(ControlId::kDeviceList), LB_SETCURSEL, row, 0);
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(static_cast<int>(ControlId::kDeviceList), LBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(Item(ControlId::kDeviceList)));
  }
  void Post(UINT message, WPARAM key, HWND to = nullptr) const { PostMessageW(to ? to : dialog, message, key, 0); }
  // Everything posted before has been handled: the log pane takes a new
  // limit, which nothing else sets, in turn with the rest.
  bool Handled() {
    Post(EM_SETLIMITTEXT, ++barrier, Item(ControlId::kLogPane));
    return Eventually([&] { return SendMessageW(Item(ControlId::kLogPane), EM_GETLIMITTEXT, 0, 0) == barrier; });
  }
  // A dialog of the window's thread over the window, told by a control it has:
  // 0xFFFF the text of a message box, 0x47c (0x480) the file dialog's name.
  HWND Owned(int control) const {
    struct Search { HWND owner; int control; HWND found; } search{dialog, control, nullptr};
    EnumThreadWindows(GetWindowThreadProcessId(dialog, nullptr), [](HWND window, LPARAM data) {
      auto& s = *reinterpret_cast<Search*>(data);
      if (GetWindow(window, GW_OWNER) == s.owner && IsWindowVisible(window) && GetDlgItem(window, s.control)) s.found = window;
      return s.found ? FALSE : TRUE;
    }, reinterpret_cast<LPARAM>(&search));
    return search.found;
  }
  // The next message box's text; answer (IDOK, IDCANCEL) closes it.
  std::string Message(int answer = IDOK) const {
    HWND box = nullptr;
    if (!Eventually([&] { return (box = Owned(0xFFFF)) != nullptr; })) return "(no message box)";
    const std::string text = Text(GetDlgItem(box, 0xFFFF));
    if (answer) PostMessageW(box, WM_COMMAND, answer, 0);
    Eventually([&] { return !IsWindow(box); });
    return text;
  }
  // Write with the given row and file; the confirmation's answer.
  void Write(int row, const std::string& file, int confirm = 0) {
    Select(row);
    Click(ControlId::kWriteButton);
    HWND files = nullptr;
    ASSERT_TRUE(Eventually([&] { return (files = Owned(0x47c)) || (files = Owned(0x480)); }));
    const std::wstring path = WideFromUtf8(folder + "\\" + file);
    SendMessageW(GetDlgItem(files, GetDlgItem(files, 0x47c) ? 0x47c : 0x480), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
    PostMessageW(files, WM_COMMAND, IDOK, 0);
    if (confirm) EXPECT_EQ(Message(confirm).find(file + " を書き込みます。") != std::string::npos, true);
  }
};

// Id, class, text, place in dialog units, styles, shown at start: the template's controls in tab order.
struct Expected { int id; const wchar_t* type; const char* text; RECT place; LONG style; bool shown; };
const Expected kTemplate[] = {
    {-1, L"Static", "ネットワークデバイス選択(&N)", {5, 10, 270, 8}, WS_GROUP, true},
    {1036, L"ComboBox", "", {5, 20, 315, 330}, CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, true},
    {-1, L"Static", "", {5, 45, 315, 1}, SS_ETCHEDHORZ, true},
    {1003, L"Button", "検索(&S)", {5, 55, 50, 14}, WS_TABSTOP, true},
    {1002, L"ListBox", "", {5, 75, 220, 135}, WS_BORDER | WS_VSCROLL | WS_TABSTOP | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT, true},
    {1000, L"Edit", "", {230, 75, 90, 85}, ES_MULTILINE | ES_READONLY | WS_BORDER | WS_VSCROLL | WS_TABSTOP, false},
    {1001, L"Button", "書き込み(&W)", {230, 175, 90, 34}, WS_TABSTOP, true},
    {1004, L"msctls_progress32", "", {5, 221, 315, 14}, WS_BORDER, false},
    {1005, L"Static", "Version 1.03", {5, 221, 270, 8}, WS_GROUP, true},
};

void CheckTemplate(const Driver& d) {
  EXPECT_EQ(Text(d.dialog), kWindowTitle);
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
    RECT units{want.place.left, want.place.top, want.place.left + want.place.right, want.place.top + want.place.bottom};
    MapDialogRect(d.dialog, &units);
    RECT place;
    if (want.id == 1036) SendMessageW(control, CB_GETDROPPEDCONTROLRECT, 0, reinterpret_cast<LPARAM>(&place));
    else GetWindowRect(control, &place);
    MapWindowPoints(nullptr, d.dialog, reinterpret_cast<POINT*>(&place), 2);
    EXPECT_TRUE(EqualRect(&place, &units)) << place.left << "," << place.top << "," << place.right << "," << place.bottom;
    control = GetWindow(control, GW_HWNDNEXT);
  }
}

void Operate(Driver& d) {
  CheckTemplate(d);
  ASSERT_TRUE(d.Idle());
  EXPECT_FALSE(d.Enabled(ControlId::kWriteButton));
  EXPECT_EQ(Text(d.Item(ControlId::kInterfaceSelector)), "127.0.0.1 (lo)");

  d.Click(ControlId::kSearchButton);
  EXPECT_TRUE(Eventually([&] { return d.Busy(); }));
  ASSERT_TRUE(Eventually([&] { return d.Idle(); }));
  const std::vector<std::string> want = {
      "127.0.0.2 / 02-00-00-00-00-02 / KS-B21 / ver. 1.25", "127.0.0.3 / 02-00-00-00-00-03 / WiFi / ver. 1.25 (-58 dBm)",
      "127.0.0.4 / 02-00-00-00-00-04 / KS-W17 / ver. 1.25", "127.0.0.5 / 02-00-00-00-00-05 / KS-B21 / ver. 1.25",
      "127.0.0.6 / 02-00-00-00-00-06 / KS-B21 / ver. 1.25"};
  std::vector<std::string> rows;
  for (int row = 0; row < d.Rows(); ++row) rows.push_back(d.Row(row));
  ASSERT_EQ(rows, want);
  d.Click(ControlId::kWriteButton);  // enabled, nothing selected
  EXPECT_EQ(d.Message(), kMessageSelectDevice);

  ASSERT_NO_FATAL_FAILURE(d.Write(0, "KS_N_test.bin", IDOK));
  EXPECT_EQ(d.Message(0), "正常終了");  // left open: the window is busy until it is answered
  EXPECT_TRUE(d.Busy());
  EXPECT_EQ(d.Message(), "正常終了");
  EXPECT_TRUE(Eventually([&] { return d.Idle() && d.Rows() == 4 && !d.Enabled(ControlId::kWriteButton); }));
  EXPECT_EQ(SendMessageW(d.Item(ControlId::kDeviceList), LB_GETCURSEL, 0, 0), LB_ERR);
  EXPECT_EQ(d.Row(0), want[1]);
  const std::string sent = FileText(d.folder + "\\KS_N_test.bin");
  EXPECT_TRUE(Eventually([&] { return FileText(d.folder + "\\received\\127.0.0.2.bin") == sent; }));

  ASSERT_NO_FATAL_FAILURE(d.Write(3, "other.bin"));
  EXPECT_EQ(d.Message(), kMessageWrongFile);
  d.Select(1);
  d.Click(ControlId::kWriteButton);
  EXPECT_EQ(d.Message(), Utf8FromWide(ControlText(kMessageTmode).c_str()));
  ASSERT_NO_FATAL_FAILURE(d.Write(2, "KS_N_test.bin", IDOK));
  EXPECT_EQ(d.Message(), "KESTO通信エラー");
  EXPECT_TRUE(Eventually([&] { return d.Idle() && d.Rows() == 4 && !d.Enabled(ControlId::kWriteButton); }));
  EXPECT_EQ(SendMessageW(d.Item(ControlId::kDeviceList), LB_GETCURSEL, 0, 0), 2);

  // A slow device: Escape and Enter change nothing; the close box asks, and Cancel goes on.
  ASSERT_NO_FATAL_FAILURE(d.Write(3, "KS_N_test.bin", IDOK));
  ASSERT_TRUE(Eventually([&] { return d.Busy(); }));
  d.Post(WM_KEYDOWN, VK_ESCAPE);
  d.Post(WM_KEYDOWN, VK_RETURN);
  ASSERT_TRUE(d.Handled());
  EXPECT_TRUE(d.Busy());
  EXPECT_EQ(d.Owned(0xFFFF), nullptr);
  d.Post(WM_SYSCOMMAND, SC_CLOSE);
  EXPECT_EQ(d.Message(IDCANCEL), kMessageStopWrite);
  EXPECT_EQ(d.Message(), "正常終了");
  EXPECT_TRUE(Eventually([&] { return FileText(d.folder + "\\received\\127.0.0.6.bin") == sent; }));

  // The hidden keys: a system key-down (Alt held) does not count, other keys between do not reset.
  const HWND list = d.Item(ControlId::kDeviceList), caption = d.Item(ControlId::kVersionCaption);
  for (const auto [message, key] : {std::pair{WM_SYSKEYDOWN, 'K'}, {WM_KEYDOWN, 'Z'}, {WM_KEYDOWN, 'J'},
                                    {WM_KEYDOWN, 'K'}, {WM_KEYDOWN, 'X'}, {WM_KEYDOWN, 'Z'}})
    d.Post(message, static_cast<WPARAM>(key), list);
  ASSERT_TRUE(d.Handled());
  EXPECT_EQ(Text(caption), "Version 1.03");
  d.Post(WM_KEYDOWN, 'J', list);
  EXPECT_TRUE(Eventually([&] { return Text(caption) == "Version 1.03 *"; }));
}

}  // namespace

TEST(Win32Window, AsTheOperatorMeetsIt) {
  WindowSetup setup;
  setup.interfaces = [] {
    InterfaceRecord loopback;
    loopback.friendlyName = "lo";
    loopback.address = htonl(INADDR_LOOPBACK);
    return InterfaceTable{loopback};
  };
  const char* ports = std::getenv("KESTO_TEST_PORTS");
  ASSERT_NE(ports, nullptr);
  ASSERT_EQ(std::sscanf(ports, "%hu,%hu,%hu", &setup.ports.discovery, &setup.ports.query, &setup.ports.update), 3);
  setup.searchLimits.quietMs = 500;
  setup.updateLimits.answerWaitMs = 300;
  const INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  const DWORD windowThread = GetCurrentThreadId();
  std::thread driver([windowThread] {
    Driver d{};
    Eventually([&] {
      d.dialog = FindWindowW(L"#32770", WideFromUtf8(kWindowTitle).c_str());
      return d.dialog && IsWindowVisible(d.dialog);  // shown once initialised
    });
    if (d.dialog) Operate(d);
    // Escape on the idle window ends it; after a failure, the run is ended for good.
    d.Post(WM_KEYDOWN, VK_ESCAPE);
    if (!Eventually([&] { return !IsWindow(d.dialog); })) PostThreadMessageW(windowThread, WM_QUIT, 0, 0);
  });
  RunFirmwareWriterWindow(std::move(setup));
  driver.join();
}
