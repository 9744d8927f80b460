#pragma once

#include <QDialog>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/firmware_writer_dlg.h"
#include "app/qt/prompts.h"
#include "app/window_front_end.h"

class QComboBox;
class QLabel;
class QListWidget;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace kesto::app {

// The window on Qt: the controls of the dialog template in their places, and
// their events handed to the window's behaviour (CFirmwareWriterDlg), which
// sets them through WindowFrontEnd.
class FirmwareWriterWindow final : public QDialog, public WindowFrontEnd {
  Q_OBJECT

 public:
  FirmwareWriterWindow(WindowSetup setup, Prompts& prompts, QWidget* parent = nullptr);
  ~FirmwareWriterWindow() override;

  CFirmwareWriterDlg& Core() { return core_; }
  // The behaviour's start-up; false when the window has ended itself.
  bool OnInitDialog();
  // OnInitDialog and the modal run; the run's result, -1 when it never began.
  int DoModal();

  // Closing stops a running worker and joins it first.
  void done(int result) override;
  // The close box (and close()): during a write the operator is asked first.
  void reject() override;

  // WindowFrontEnd
  void SetEnabled(ControlId control, bool enabled) override;
  void SetVisible(ControlId control, bool visible) override;
  void SetText(ControlId control, const std::string& text) override;
  void AppendToLog(std::string_view piece) override;
  void SetProgress(int percent) override;
  void SetProgressText(const std::string& format) override;
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

 protected:
  // The hidden key sequence counts key-downs for any of our controls, before
  // the control sees them.
  bool eventFilter(QObject* watched, QEvent* event) override;
  // A stray Escape or Enter must not end a run: while busy both do nothing,
  // and Enter never closes the window.
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void CreateControls();
  QWidget* Control(ControlId control) const;

  Prompts& prompts_;
  QLabel* interfaceLabel_ = nullptr;
  QComboBox* interfaceSelector_ = nullptr;
  QPushButton* searchButton_ = nullptr;
  QListWidget* deviceList_ = nullptr;
  QPlainTextEdit* logPane_ = nullptr;
  QPushButton* writeButton_ = nullptr;
  QProgressBar* progressBar_ = nullptr;
  QLabel* versionCaption_ = nullptr;
  // Last: goes first, while the controls it sets still exist.
  CFirmwareWriterDlg core_;
};

}  // namespace kesto::app
