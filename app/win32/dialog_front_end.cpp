#include "app/win32/dialog_front_end.h"

#include <commctrl.h>
#include <commdlg.h>

#include <vector>

#include "kesto/version.h"
#include "platform/wide_text.h"
#include "texts/line_breaks.h"

namespace kesto::app {

std::wstring ControlText(std::string_view text) {
  return WideFromUtf8(WithLineBreaks(text, "\r\n"));
}

std::wstring OpenFileFilter(const std::string& barSeparated) {
  std::wstring filter = WideFromUtf8(barSeparated);
  for (wchar_t& character : filter)
    if (character == L'|') character = L'\0';
  // The string's own terminator makes the second NUL of a filter without "||".
  if (filter.empty() || filter.back() != L'\0') filter += L'\0';
  return filter;
}

HWND DialogFrontEnd::Control(ControlId control) const {
  return GetDlgItem(dialog_, static_cast<int>(control));
}

LRESULT DialogFrontEnd::Send(ControlId control, UINT message, WPARAM wParam, LPARAM lParam) const {
  return SendDlgItemMessageW(dialog_, static_cast<int>(control), message, wParam, lParam);
}

void DialogFrontEnd::SetEnabled(ControlId control, bool enabled) {
  const HWND window = Control(control);
  // A disabled control loses the focus to nobody, and then keys reach the
  // dialog as system keys only: the dialog keeps it meanwhile, and hands it
  // to the first control that comes back.
  if (!enabled && GetFocus() == window) SetFocus(dialog_);
  EnableWindow(window, enabled);
  if (enabled && GetFocus() == dialog_ && (GetWindowLongW(window, GWL_STYLE) & WS_TABSTOP))
    SendMessageW(dialog_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(window), TRUE);
}

void DialogFrontEnd::SetVisible(ControlId control, bool visible) {
  ShowWindow(Control(control), visible ? SW_SHOW : SW_HIDE);
}

void DialogFrontEnd::SetText(ControlId control, const std::string& text) {
  SetWindowTextW(Control(control), ControlText(text).c_str());
}

void DialogFrontEnd::AppendToLog(std::string_view piece) {
  const LRESULT length = GetWindowTextLengthW(Control(ControlId::kLogPane));
  Send(ControlId::kLogPane, EM_SETSEL, static_cast<WPARAM>(length), length);
  Send(ControlId::kLogPane, EM_SCROLLCARET);
  Send(ControlId::kLogPane, EM_REPLACESEL, FALSE,
       reinterpret_cast<LPARAM>(ControlText(piece).c_str()));
}

void DialogFrontEnd::SetProgress(int percent) {
  Send(ControlId::kProgressBar, PBM_SETPOS, static_cast<WPARAM>(percent));
}

void DialogFrontEnd::SetInterfaceRows(const std::vector<std::string>& rows, int current) {
  Send(ControlId::kInterfaceSelector, CB_RESETCONTENT);
  for (const std::string& row : rows)
    Send(ControlId::kInterfaceSelector, CB_ADDSTRING, 0,
         reinterpret_cast<LPARAM>(ControlText(row).c_str()));
  Send(ControlId::kInterfaceSelector, CB_SETCURSEL, static_cast<WPARAM>(current));
}

void DialogFrontEnd::ClearDeviceRows() {
  Send(ControlId::kDeviceList, LB_RESETCONTENT);
}

void DialogFrontEnd::AddDeviceRow(const std::string& text) {
  Send(ControlId::kDeviceList, LB_ADDSTRING, 0,
       reinterpret_cast<LPARAM>(ControlText(text).c_str()));
}

void DialogFrontEnd::RemoveDeviceRow(int row) {
  Send(ControlId::kDeviceList, LB_DELETESTRING, static_cast<WPARAM>(row));
}

int DialogFrontEnd::SelectedDeviceRow() const {
  const LRESULT row = Send(ControlId::kDeviceList, LB_GETCURSEL);
  return row == LB_ERR ? -1 : static_cast<int>(row);
}

void DialogFrontEnd::ClearDeviceSelection() {
  Send(ControlId::kDeviceList, LB_SETCURSEL, static_cast<WPARAM>(-1));
}

bool DialogFrontEnd::ShowMessage(const std::string& text, bool okCancel) {
  const int answer =
      MessageBoxW(dialog_, ControlText(text).c_str(), WideFromUtf8(kApplicationName).c_str(),
                  okCancel ? MB_OKCANCEL : MB_OK);
  return !okCancel || answer == IDOK;
}

std::string DialogFrontEnd::OpenFirmwareFile(const std::string& filter, const std::string& folder) {
  const std::wstring filters = OpenFileFilter(filter);
  const std::wstring initialFolder = WideFromUtf8(folder);
  // Room for the longest path Windows allows.
  std::vector<wchar_t> path(32768, L'\0');
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = dialog_;
  dialog.lpstrFilter = filters.c_str();
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = path.data();
  dialog.nMaxFile = static_cast<DWORD>(path.size());
  dialog.lpstrInitialDir = initialFolder.empty() ? nullptr : initialFolder.c_str();
  dialog.lpstrDefExt = L"bin";
  dialog.Flags = OFN_FILEMUSTEXIST | OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT | OFN_EXPLORER;
  if (!GetOpenFileNameW(&dialog)) return {};
  return Utf8FromWide(path.data());
}

void DialogFrontEnd::Post(std::function<void()> call) {
  {
    const std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }
  PostMessageW(dialog_, kPostedCall, 0, 0);
}

void DialogFrontEnd::RunPostedCalls() {
  // One at a time: a call may open a message box, whose own loop then runs
  // the calls behind it, still in order.
  for (;;) {
    std::function<void()> call;
    {
      const std::lock_guard lock(mutex_);
      if (calls_.empty()) return;
      call = std::move(calls_.front());
      calls_.pop_front();
    }
    call();
  }
}

void DialogFrontEnd::EndModal(int result) {
  ended_ = true;
  result_ = result;
  // Wakes the loop, which then sees that the run has ended.
  PostMessageW(dialog_, WM_NULL, 0, 0);
}

}  // namespace kesto::app
