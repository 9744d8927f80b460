#include "app/win32/firmware_writer_window.h"

#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include "app/win32/dialog_front_end.h"

namespace kesto::app {
namespace {

// What the dialog procedure needs; lives on RunFirmwareWriterWindow's stack.
struct Session {
  DialogFrontEnd frontEnd;
  CFirmwareWriterDlg core;
  HICON icon = nullptr;

  explicit Session(WindowSetup setup) : core(std::move(setup), frontEnd) {}
};

Session* SessionOf(HWND dialog) {
  return reinterpret_cast<Session*>(GetWindowLongPtrW(dialog, DWLP_USER));
}

void OnCommand(Session& session, int id, int code) {
  CFirmwareWriterDlg& core = session.core;
  switch (id) {
    case static_cast<int>(ControlId::kWriteButton):
      if (code == BN_CLICKED) core.OnWrite();
      break;
    case static_cast<int>(ControlId::kSearchButton):
      if (code == BN_CLICKED) core.OnSearch();
      break;
    case static_cast<int>(ControlId::kInterfaceSelector):
      if (code == CBN_SELCHANGE)
        core.OnInterfaceChanged(static_cast<int>(
            SendDlgItemMessageW(session.frontEnd.Dialog(), id, CB_GETCURSEL, 0, 0)));
      break;
    case static_cast<int>(ControlId::kDeviceList):
      if (code == LBN_SELCHANGE) core.OnDeviceSelectionChanged();
      break;
    case IDCANCEL:  // Escape
      if (core.OnClose(CloseRequest::kEscape)) session.frontEnd.EndModal(IDCANCEL);
      break;
    default:  // IDOK from Enter among them: Enter never closes the window.
      break;
  }
}

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* session = reinterpret_cast<Session*>(lParam);
    SetWindowLongPtrW(dialog, DWLP_USER, lParam);
    session->frontEnd.Attach(dialog);
    session->icon =
        static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kWindowIcon),
                                      IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
    SendMessageW(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(session->icon));
    SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(session->icon));
    SendDlgItemMessageW(dialog, static_cast<int>(ControlId::kProgressBar), PBM_SETRANGE32, 0, 100);
    // TRUE: the dialog manager gives the focus to the first tab stop, the selector.
    return session->core.OnInitDialog() ? TRUE : FALSE;
  }
  Session* session = SessionOf(dialog);
  if (!session) return FALSE;
  switch (message) {
    case WM_COMMAND:
      OnCommand(*session, LOWORD(wParam), HIWORD(wParam));
      return TRUE;
    case WM_CLOSE:
      if (session->core.OnClose(CloseRequest::kCloseBox)) session->frontEnd.EndModal(IDCANCEL);
      return TRUE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(session->icon);
    case DialogFrontEnd::kPostedCall:
      session->frontEnd.RunPostedCalls();
      return TRUE;
    default:
      return FALSE;
  }
}

bool IsOwnWindow(HWND dialog, HWND window) {
  return window == dialog || IsChild(dialog, window);
}

}  // namespace

int RunFirmwareWriterWindow(WindowSetup setup) {
  Session session(std::move(setup));
  const HWND dialog =
      CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kDialogTemplate), nullptr,
                         DialogProc, reinterpret_cast<LPARAM>(&session));
  if (!dialog) return -1;
  // The dialog's own loop, so that every key-down for the window is seen
  // before the dialog manager turns it into a command. Alt+letter arrives as
  // a system key-down and is left to the mnemonics.
  MSG message;
  while (!session.frontEnd.Ended() && GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (message.message == WM_KEYDOWN && IsOwnWindow(dialog, message.hwnd))
      session.core.OnKeyDown(static_cast<int>(message.wParam));
    if (!IsDialogMessageW(dialog, &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  // The workers post to the controls: they stop before the controls go.
  session.core.Shutdown();
  DestroyWindow(dialog);
  return session.frontEnd.Result();
}

}  // namespace kesto::app
