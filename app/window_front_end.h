#pragma once

// What the window's behaviour (CFirmwareWriterDlg) needs from a toolkit: the
// controls it sets and reads, the modal questions, and a way back onto the
// window's thread. The Qt window and the Win32 dialog each implement it; the
// tests implement it with a fake that records what the operator would see.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kesto::app {

// The window's controls, numbered as in its dialog template.
enum class ControlId : int {
  kLogPane = 1000,
  kWriteButton = 1001,
  kDeviceList = 1002,
  kSearchButton = 1003,
  kProgressBar = 1004,
  kVersionCaption = 1005,
  kInterfaceSelector = 1036,
};

// Texts are UTF-8; "\r\n" and "\n" break lines. Every call but Post comes on
// the window's thread.
class WindowFrontEnd {
 public:
  virtual ~WindowFrontEnd() = default;

  virtual void SetEnabled(ControlId control, bool enabled) = 0;
  virtual void SetVisible(ControlId control, bool visible) = 0;
  // The version caption's text, or the log pane's whole text.
  virtual void SetText(ControlId control, const std::string& text) = 0;
  // Adds a piece at the end of the log pane, as it is, and scrolls to it.
  virtual void AppendToLog(std::string_view piece) = 0;

  // The progress bar's position, 0..100.
  virtual void SetProgress(int percent) = 0;
  // What the bar says while busy; "%p" stands for the percentage. A toolkit
  // whose bar shows no text may ignore it.
  virtual void SetProgressText(const std::string& format) = 0;

  // The interface selector's rows, and the one chosen.
  virtual void SetInterfaceRows(const std::vector<std::string>& rows, int current) = 0;

  // The device list: row i is slot i of the device table.
  virtual void ClearDeviceRows() = 0;
  virtual void AddDeviceRow(const std::string& text) = 0;
  virtual void RemoveDeviceRow(int row) = 0;
  // The selected row, -1 when none.
  virtual int SelectedDeviceRow() const = 0;
  virtual void ClearDeviceSelection() = 0;

  // A message box over the window with the application's caption. With
  // okCancel it offers OK and Cancel and returns whether OK was chosen;
  // otherwise only OK, and it returns true.
  virtual bool ShowMessage(const std::string& text, bool okCancel) = 0;
  // The open dialog for an existing firmware file. filter is
  // "description|pattern|...||"; folder, when not empty, is where it opens.
  // The chosen file's full path, or empty when the dialog was cancelled.
  virtual std::string OpenFirmwareFile(const std::string& filter, const std::string& folder) = 0;

  // Runs call on the window's thread, after what is queued already. Callable
  // from any thread; calls keep their order.
  virtual void Post(std::function<void()> call) = 0;
  // Ends the window's modal run with result.
  virtual void EndModal(int result) = 0;
};

}  // namespace kesto::app
