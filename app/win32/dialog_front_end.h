#pragma once

#include <windows.h>

#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "app/window_front_end.h"

namespace kesto::app {

// The window's controls are those of dialog template 102; this speaks to them
// with window messages only, in UTF-16, and hands UTF-8 to the core.
class DialogFrontEnd final : public WindowFrontEnd {
 public:
  // Posted to the dialog when a call waits in the queue.
  static constexpr UINT kPostedCall = WM_APP + 1;

  // Set once the dialog exists (WM_INITDIALOG), before the core touches it.
  void Attach(HWND dialog) { dialog_ = dialog; }
  HWND Dialog() const { return dialog_; }
  // Runs the queued calls, oldest first. Calls queued meanwhile run too.
  void RunPostedCalls();
  // Whether EndModal was called, and with what.
  bool Ended() const { return ended_; }
  int Result() const { return result_; }

  void SetEnabled(ControlId control, bool enabled) override;
  void SetVisible(ControlId control, bool visible) override;
  void SetText(ControlId control, const std::string& text) override;
  void AppendToLog(std::string_view piece) override;
  void SetProgress(int percent) override;
  // The bar of Windows shows no text.
  void SetProgressText(const std::string&) override {}
  void SetInterfaceRows(const std::vector<std::string>& rows, int current) override;
  void ClearDeviceRows() override;
  void AddDeviceRow(const std::string& text) override;
  void RemoveDeviceRow(int row) override;
  int SelectedDeviceRow() const override;
  void ClearDeviceSelection() override;
  bool ShowMessage(const std::string& text, bool okCancel) override;
  std::string OpenFirmwareFile(const std::string& filter, const std::string& folder) override;
  void Post(std::function<void()> call) override;
  void EndModal(int result) override;

 private:
  HWND Control(ControlId control) const;
  LRESULT Send(ControlId control, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;

  HWND dialog_ = nullptr;
  std::mutex mutex_;
  std::deque<std::function<void()>> calls_;  // guarded by mutex_
  bool ended_ = false;
  int result_ = 0;
};

// UTF-8 text as a Windows control shows it: UTF-16 with "\r\n" line breaks.
std::wstring ControlText(std::string_view text);

// "description|pattern|...||" as GetOpenFileNameW takes it: NUL-separated,
// ending with two NULs.
std::wstring OpenFileFilter(const std::string& barSeparated);

}  // namespace kesto::app
