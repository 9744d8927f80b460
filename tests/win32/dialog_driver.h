#pragma once

// Works kesto-fw-gui's dialog with window messages only, as an operator's
// tools would: from a thread of the window's own process or from another
// process in the same Wine prefix. Every wait is bounded.
#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "app/window_front_end.h"
#include "platform/wide_text.h"

namespace kesto::test {

using app::ControlId;

// Polls until it holds; the window's thread does the work.
inline bool Eventually(const std::function<bool()>& holds, int seconds = 30) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (; !holds(); std::this_thread::sleep_for(std::chrono::milliseconds(10)))
    if (std::chrono::steady_clock::now() > deadline) return false;
  return true;
}

inline std::string Text(HWND window, UINT get = WM_GETTEXT, WPARAM row = 1024) {
  wchar_t text[1024] = {};
  SendMessageW(window, get, row, reinterpret_cast<LPARAM>(text));
  return Utf8FromWide(text);
}

struct Driver {
  HWND dialog = nullptr;
  std::string folder;  // where Write's files are, as the window's process names it
  int barrier = 100000;

  // The dialog with this caption once it shows (it is shown when initialised).
  bool Find(const std::string& caption) {
    return Eventually([&] {
      dialog = FindWindowW(L"#32770", WideFromUtf8(caption).c_str());
      return dialog && IsWindowVisible(dialog);
    });
  }
  HWND Item(ControlId id) const { return GetDlgItem(dialog, static_cast<int>(id)); }
  bool Enabled(ControlId id) const { return IsWindowEnabled(Item(id)); }
  bool Visible(ControlId id) const { return IsWindowVisible(Item(id)); }
  // Busy: selector, Search and list disabled, the bar in the caption's place.
  bool Busy(bool busy = true) const {
    return Enabled(ControlId::kInterfaceSelector) != busy &&
           Enabled(ControlId::kSearchButton) != busy && Enabled(ControlId::kDeviceList) != busy &&
           Visible(ControlId::kVersionCaption) != busy && Visible(ControlId::kProgressBar) == busy;
  }
  LRESULT List(UINT message, WPARAM wParam = 0) const {
    return SendMessageW(Item(ControlId::kDeviceList), message, wParam, 0);
  }
  // The rows of the device list, or with the selector's messages its rows.
  std::vector<std::string> Rows(ControlId id = ControlId::kDeviceList, UINT count = LB_GETCOUNT,
                                UINT get = LB_GETTEXT) const {
    std::vector<std::string> rows;
    for (LRESULT row = 0; row < SendMessageW(Item(id), count, 0, 0); ++row)
      rows.push_back(Text(Item(id), get, static_cast<WPARAM>(row)));
    return rows;
  }
  void Post(UINT message, WPARAM wParam, HWND to = nullptr, LPARAM lParam = 0) const {
    PostMessageW(to ? to : dialog, message, wParam, lParam);
  }
  void Click(ControlId id) const { Post(BM_CLICK, 0, Item(id)); }
  // A row chosen as a user does: the selection, then the control's notification.
  void Select(int row, ControlId id = ControlId::kDeviceList) const {
    const bool list = id == ControlId::kDeviceList;
    Post(list ? LB_SETCURSEL : CB_SETCURSEL, static_cast<WPARAM>(row), Item(id));
    Post(WM_COMMAND, MAKEWPARAM(static_cast<int>(id), list ? LBN_SELCHANGE : CBN_SELCHANGE),
         nullptr, reinterpret_cast<LPARAM>(Item(id)));
  }
  // Everything posted before has been handled: the log pane takes a limit
  // that nothing else sets, in turn with the rest.
  bool Handled() {
    Post(EM_SETLIMITTEXT, static_cast<WPARAM>(++barrier), Item(ControlId::kLogPane));
    return Eventually(
        [&] { return SendMessageW(Item(ControlId::kLogPane), EM_GETLIMITTEXT, 0, 0) == barrier; });
  }
  // A dialog over the window, told by a control it has: 0xFFFF the text of
  // a message box, 0x47c the file dialog's name field (0x480 in the old style).
  HWND Owned(int control) const {
    std::tuple<HWND, int, HWND> search{dialog, control, nullptr};
    EnumThreadWindows(
        GetWindowThreadProcessId(dialog, nullptr),
        [](HWND window, LPARAM data) {
          auto& [owner, id, found] = *reinterpret_cast<std::tuple<HWND, int, HWND>*>(data);
          if (GetWindow(window, GW_OWNER) == owner && IsWindowVisible(window) &&
              GetDlgItem(window, id))
            found = window;
          return found ? FALSE : TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return std::get<2>(search);
  }
  // The next message box's text; answered with answer (0: left open).
  std::string Message(int answer = IDOK) const {
    HWND box = nullptr;
    if (!Eventually([&] { return (box = Owned(0xFFFF)) != nullptr; })) return "(no message box)";
    const std::string text = Text(GetDlgItem(box, 0xFFFF));
    if (answer) Post(WM_COMMAND, static_cast<WPARAM>(answer), box);
    Eventually([&] { return !answer || !IsWindow(box); });
    return text;
  }
  // Write: the row, the file chosen in the file dialog and, when confirm is
  // given, the confirmation naming the file answered with it. False when a
  // dialog did not come.
  bool Write(int row, const std::string& file, int confirm = 0) const {
    Select(row);
    Click(ControlId::kWriteButton);
    HWND files = nullptr;
    int field = 0;
    if (!Eventually([&] {
          for (const int name : {0x47c, 0x480})
            if ((files = Owned(field = name)) != nullptr) return true;
          return false;
        }))
      return false;
    const std::wstring path = WideFromUtf8(folder + "\\" + file);
    SendMessageW(GetDlgItem(files, field), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
    Post(WM_COMMAND, IDOK, files);
    return !confirm || Message(confirm).find(file + " を書き込みます。") != std::string::npos;
  }
};

}  // namespace kesto::test
