#pragma once

// The window's behaviour, without a toolkit: what the controls show when, the
// checks before a write, the hand-over of searches and writes to worker
// threads, and the report of their outcome. A front end (Qt, Win32) owns the
// controls and forwards their events; the behaviour reaches the controls only
// through WindowFrontEnd.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/window_front_end.h"
#include "app/window_rules.h"
#include "app/workers.h"
#include "discovery/device_query.h"
#include "discovery/device_table.h"
#include "discovery/discovery.h"
#include "net/interfaces.h"
#include "update/preflight.h"
#include "update/update_run.h"

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
  std::function<Result<InterfaceTable>()> interfaces = EnumerateInterfaces;
  DevicePorts ports;
  SearchLimits searchLimits;
  UpdateLimits updateLimits;
  uint16_t hostPort = 0;       // the listener's fixed port, 0: the system chooses
  std::string firmwareFolder;  // UTF-8; where the file dialog opens; empty: its default
  // The caption; a front end that reads its own version resource passes that.
  std::string versionText = ProgramVersionText();
  ThreadStarter startThread = StartThread;
};

// Why the window may be asked to close.
enum class CloseRequest { kEscape, kCloseBox };

// The one window of the program: interface selector, search, device list,
// write, and the hidden log pane and progress bar. Searches and writes run on
// worker threads that reach the window only through frontEnd.Post, so the
// window's thread never waits for them.
class CFirmwareWriterDlg {
 public:
  CFirmwareWriterDlg(WindowSetup setup, WindowFrontEnd& frontEnd);
  // Stops a running worker and joins it.
  ~CFirmwareWriterDlg();
  CFirmwareWriterDlg(const CFirmwareWriterDlg&) = delete;
  CFirmwareWriterDlg& operator=(const CFirmwareWriterDlg&) = delete;

  // Reads the interfaces and makes the window idle. Without a usable
  // interface it tells the operator, ends the modal run with -1 and returns
  // false.
  bool OnInitDialog();

  // Idle: selector, Search, device list and Write enabled, version caption
  // shown. Busy: those disabled, progress bar shown at 0 in its place.
  void SetIdle(bool idle);
  // Appends one piece to the log as it is, adding no line break.
  void AppendLog(std::string_view piece);

  // Events, each from the front end on the window's thread.
  void OnInterfaceChanged(int row);
  // Write is enabled exactly when a row is selected.
  void OnDeviceSelectionChanged();
  void OnSearch();
  // The checks in their order, then the launch.
  void OnWrite();
  // A key-down without Alt, for the hidden sequence: the letter's upper-case
  // code ('A'..'Z', both Qt::Key_A.. and VK_A..); other keys do not match.
  void OnKeyDown(int key);
  // Escape or the close box: true when the window may close now (the front
  // end then ends its modal run). Escape does nothing while a search or a
  // write runs; the close box during a write asks first and stops the write
  // on OK; the close box during a search stops the search. Enter never
  // reaches here: front ends swallow it.
  bool OnClose(CloseRequest request);
  // Stops and joins a running worker; what it has posted is dropped.
  void Shutdown();

  int HiddenModeCounter() const { return hiddenModeCounter_; }
  const DeviceTable& Devices() const { return table_; }
  std::string SelectedLocalAddress() const;
  const std::string& FirmwarePath() const { return firmwarePath_; }  // UTF-8
  // Everything appended since the log was last cleared.
  const std::string& LogText() const { return log_; }
  // Whether a search or a write runs on a worker thread.
  bool Running() const { return worker_ != nullptr; }
  bool Writing() const { return writing_; }

 private:
  void OnSearchFinished(SearchOutcome outcome);
  // Tells the operator why a check before a write failed; false when it passed.
  bool Refused(const PreflightResult& check);
  // The image is examined on a worker; the confirmation and the write follow
  // on the window's thread.
  void PrepareWrite(const std::string& path, const std::string& deviceAddress,
                    const std::string& entry);
  void OnImagePrepared(const tl::expected<PreparedImage, PreflightResult>& prepared,
                       const std::string& deviceAddress, const std::string& entry);
  void LaunchWrite(const std::string& deviceAddress, const PreparedImage& image);
  void ReportWrite(const WriteOutcome& outcome);
  void ClearLog();
  // What the busy window's bar says; "%p" stands for the percentage.
  void ShowPhase(const char* format);
  int SelectedRow() const;
  bool StartWorker(std::function<void(const StopSignal&)> body);
  // Queues call on the window's thread; dropped when the run has been stopped
  // since, or the window is gone.
  void Post(uint64_t run, std::function<void()> call);

  WindowSetup setup_;
  WindowFrontEnd& frontEnd_;
  int hiddenModeCounter_ = kHiddenModeStart;
  InterfaceTable interfaceTable_;
  Ipv4Address selectedLocalAddress_ = 0;
  DeviceTable table_;
  std::vector<std::string> entries_;  // the device list's rows, as shown
  std::string firmwarePath_;
  std::string log_;
  std::unique_ptr<WorkerThread> worker_;  // at most one search or write at a time
  // Counts started and stopped runs; posts hold it weakly, so that a post
  // that outlives the window finds it gone.
  std::shared_ptr<uint64_t> run_ = std::make_shared<uint64_t>(0);
  bool writing_ = false;  // the worker runs a write, not a search
};

}  // namespace kesto::app
