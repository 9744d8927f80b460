#pragma once

#include <QDialog>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "app/operator_texts.h"
#include "app/prompts.h"
#include "app/workers.h"
#include "discovery/device_query.h"
#include "discovery/device_table.h"
#include "discovery/discovery.h"
#include "net/interfaces.h"
#include "update/update_run.h"

class QComboBox;
class QLabel;
class QListWidget;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace kesto::app {

inline constexpr const char* kWindowTitle =
    "KESTO-Nシリーズ / 無線KESTO ファームウェアアップデータ";

// Time limits of a search and of its device queries.
struct SearchLimits {
  int quietMs = DiscoveryOptions{}.quietMs;  // the search ends after this long without a reply
  int connectTimeoutMs = QueryOptions{}.connectTimeoutMs;
  int receiveTimeoutMs = QueryOptions{}.receiveTimeoutMs;
  int pauseMs = QueryOptions{}.pauseMs;
};

// Everything the window takes from outside.
struct WindowSetup {
  std::function<InterfaceTable()> interfaces = EnumerateInterfaces;
  DevicePorts ports;
  SearchLimits searchLimits;
  UpdateLimits updateLimits;
  uint16_t hostPort = 0;   // the listener's fixed port, 0: the system chooses
  QString firmwareFolder;  // where the file dialog opens; empty: its default
  ThreadStarter startThread = StartThread;
};

// The one window of the program: interface selector, search, device list,
// write, and the hidden log pane and progress bar. Searches and writes run on
// worker threads that reach the controls only through queued calls, so this
// thread never waits for them.
class CFirmwareWriterDlg : public QDialog {
  Q_OBJECT

 public:
  CFirmwareWriterDlg(WindowSetup setup, Prompts& prompts, QWidget* parent = nullptr);
  ~CFirmwareWriterDlg() override;

  // Reads the interfaces and makes the window idle. Without a usable
  // interface it tells the operator, ends itself with -1 and returns false.
  bool OnInitDialog();
  // OnInitDialog and the modal run; the run's result, -1 when it never began.
  int DoModal();

  // Idle: selector, Search, device list and Write enabled, version caption
  // shown. Busy: those disabled, progress bar shown at 0 in its place.
  void SetIdle(bool idle);

  // Appends one piece to the log as it is, adding no line break.
  void AppendLog(std::string_view piece);
  const std::string& LogText() const { return log_; }

  int HiddenModeCounter() const { return hiddenModeCounter_; }
  const DeviceTable& Devices() const { return table_; }
  std::string SelectedLocalAddress() const;
  const QString& FirmwarePath() const { return firmwarePath_; }

  // Whether a search or a write runs on a worker thread.
  bool Running() const { return worker_ != nullptr; }

  // Closing stops a running worker and joins it first.
  void done(int result) override;
  // The close box and Escape. During a write the operator is asked first,
  // since closing abandons the write.
  void reject() override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  // A stray Escape or Enter must not end a run: while busy both do nothing,
  // and Enter never closes the window.
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void CreateControls();
  void OnInterfaceChanged(int row);
  void OnDeviceSelectionChanged();
  void OnSearch();
  void OnSearchFinished(SearchOutcome outcome);
  void OnWrite();
  void LaunchWrite(const std::string& deviceAddress);
  void ReportWrite(const WriteOutcome& outcome);
  // What the busy window's bar says; "%p" stands for the percentage.
  void ShowPhase(const char* format);
  int SelectedRow() const;
  bool StartWorker(std::function<void(const StopSignal&)> body);
  void StopWorker();
  // Queues call on this window's thread; dropped when the run has been stopped since.
  void Post(uint64_t run, std::function<void()> call);

  WindowSetup setup_;
  Prompts& prompts_;

  QLabel* interfaceLabel_ = nullptr;
  QComboBox* interfaceSelector_ = nullptr;
  QPushButton* searchButton_ = nullptr;
  QListWidget* deviceList_ = nullptr;
  QPlainTextEdit* logPane_ = nullptr;
  QPushButton* writeButton_ = nullptr;
  QProgressBar* progressBar_ = nullptr;
  QLabel* versionCaption_ = nullptr;

  const std::string versionText_;
  int hiddenModeCounter_;
  InterfaceTable interfaceTable_;
  Ipv4Address selectedLocalAddress_ = 0;
  DeviceTable table_;
  QString firmwarePath_;
  std::string log_;
  std::unique_ptr<WorkerThread> worker_;  // at most one search or write at a time
  uint64_t run_ = 0;                      // counts started and stopped runs
  bool writing_ = false;                  // the worker runs a write, not a search
};

}  // namespace kesto::app
