#include "app/firmware_writer_dlg.h"

#include <utility>
#include <vector>

#include "platform/format.h"
#include "platform/socket.h"
#include "texts/operator_texts.h"
#include "texts/phase_texts.h"
#include "update/preflight.h"
#include "update/write_rules.h"

namespace kesto::app {

CFirmwareWriterDlg::CFirmwareWriterDlg(WindowSetup setup, WindowFrontEnd& frontEnd)
    : setup_(std::move(setup)), frontEnd_(frontEnd) {}

CFirmwareWriterDlg::~CFirmwareWriterDlg() {
  // A worker must not outlive the window it posts to.
  Shutdown();
}

bool CFirmwareWriterDlg::OnInitDialog() {
  frontEnd_.SetText(ControlId::kVersionCaption, setup_.versionText);
  frontEnd_.SetProgress(0);

  const Result<InterfaceTable> interfaces = setup_.interfaces();
  interfaceTable_ = interfaces.value_or(InterfaceTable{});
  if (interfaceTable_.size() > kInterfaceTableSize) interfaceTable_.resize(kInterfaceTableSize);
  if (interfaceTable_.empty()) {
    frontEnd_.ShowMessage(NoInterfaceMessage(interfaces ? std::error_code() : interfaces.error()),
                          false);
    frontEnd_.EndModal(-1);
    return false;
  }
  std::vector<std::string> rows;
  for (const InterfaceRecord& record : interfaceTable_) rows.push_back(InterfaceEntryText(record));
  selectedLocalAddress_ = interfaceTable_[0].address;
  frontEnd_.SetInterfaceRows(rows, 0);

  SetIdle(true);
  frontEnd_.SetEnabled(ControlId::kWriteButton, false);
  frontEnd_.SetVisible(ControlId::kLogPane, false);
  return true;
}

void CFirmwareWriterDlg::SetIdle(bool idle) {
  frontEnd_.SetEnabled(ControlId::kInterfaceSelector, idle);
  frontEnd_.SetEnabled(ControlId::kSearchButton, idle);
  frontEnd_.SetEnabled(ControlId::kDeviceList, idle);
  frontEnd_.SetEnabled(ControlId::kWriteButton, idle);
  frontEnd_.SetProgress(0);
  frontEnd_.SetVisible(ControlId::kProgressBar, !idle);
  frontEnd_.SetVisible(ControlId::kVersionCaption, idle);
}

void CFirmwareWriterDlg::AppendLog(std::string_view piece) {
  log_.append(piece);
  frontEnd_.AppendToLog(piece);
}

void CFirmwareWriterDlg::ClearLog() {
  log_.clear();
  frontEnd_.SetText(ControlId::kLogPane, std::string());
}

std::string CFirmwareWriterDlg::SelectedLocalAddress() const {
  return interfaceTable_.empty() ? std::string() : Ipv4Text(selectedLocalAddress_);
}

void CFirmwareWriterDlg::OnInterfaceChanged(int row) {
  if (row >= 0 && static_cast<size_t>(row) < interfaceTable_.size())
    selectedLocalAddress_ = interfaceTable_[static_cast<size_t>(row)].address;
}

void CFirmwareWriterDlg::OnDeviceSelectionChanged() {
  frontEnd_.SetEnabled(ControlId::kWriteButton, SelectedRow() >= 0);
}

void CFirmwareWriterDlg::OnKeyDown(int key) {
  if (hiddenModeCounter_ == kHiddenModeOn) return;
  hiddenModeCounter_ = AdvanceHiddenMode(hiddenModeCounter_, key);
  if (hiddenModeCounter_ == kHiddenModeOn)
    frontEnd_.SetText(ControlId::kVersionCaption, setup_.versionText + " *");
}

bool CFirmwareWriterDlg::OnClose(CloseRequest request) {
  if (request == CloseRequest::kEscape) return !Running();
  // The write goes on while the question is open; it may end meanwhile, and
  // then there is nothing left to stop.
  if (writing_ && !frontEnd_.ShowMessage(kMessageStopWrite, true)) return false;
  Shutdown();
  return true;
}

void CFirmwareWriterDlg::Shutdown() {
  writing_ = false;
  if (!worker_) return;
  ++*run_;          // whatever it has queued is dropped
  worker_.reset();  // stops it and joins
}

int CFirmwareWriterDlg::SelectedRow() const {
  const int row = frontEnd_.SelectedDeviceRow();
  return row >= 0 && row < kDeviceTableSize ? row : -1;
}

void CFirmwareWriterDlg::OnSearch() {
  // The busy state disables Search; a click already queued must not start a
  // second run beside the first.
  if (worker_) return;
  // Emptied and busy before the thread starts, so no second click slips in.
  frontEnd_.ClearDeviceRows();
  entries_.clear();
  SetIdle(false);
  ShowPhase(SearchPhaseText(SearchPhase::kBroadcast));

  DiscoveryOptions options;
  options.localAddress = selectedLocalAddress_;
  options.discoveryPort = setup_.ports.discovery;
  options.quietMs = setup_.searchLimits.quietMs;
  options.query.localAddress = selectedLocalAddress_;
  options.query.port = setup_.ports.query;
  options.query.connectTimeoutMs = setup_.searchLimits.connectTimeoutMs;
  options.query.receiveTimeoutMs = setup_.searchLimits.receiveTimeoutMs;
  options.query.pauseMs = setup_.searchLimits.pauseMs;
  const uint64_t run = ++*run_;
  options.phase = [this, run](SearchPhase phase) {
    Post(run, [this, phase] { ShowPhase(SearchPhaseText(phase)); });
  };
  StartWorker([this, run, table = table_, options](const StopSignal& stop) mutable {
    options.query.stop = &stop;
    auto outcome = std::make_shared<SearchOutcome>(SearchWorker(std::move(table), options));
    Post(run, [this, outcome] { OnSearchFinished(std::move(*outcome)); });
  });
}

void CFirmwareWriterDlg::OnSearchFinished(SearchOutcome outcome) {
  worker_.reset();  // it has handed over; the join only waits for it to return
  table_ = std::move(outcome.table);
  entries_ = std::move(outcome.entries);
  for (const std::string& entry : entries_) frontEnd_.AddDeviceRow(entry);
  // Idle only now that every entry is in: Write is enabled although nothing
  // is selected; a press then asks for a device.
  SetIdle(true);
  // A search the system refused is no empty network.
  if (!outcome.count)
    frontEnd_.ShowMessage(
        ResultMessage(WriteOutcome(WriteResult::kNetworkError, ErrorNumber(outcome.count))), false);
}

void CFirmwareWriterDlg::OnWrite() {
  if (worker_) return;
  const int row = SelectedRow();
  if (row < 0 || static_cast<size_t>(row) >= entries_.size()) {
    frontEnd_.ShowMessage(kMessageSelectDevice, false);
    return;
  }
  const DeviceRecord& record = table_.records[static_cast<size_t>(row)];
  const auto log = [this](std::string_view piece) { AppendLog(piece); };
  // The listener first: a device in TMODE is refused only after it.
  // The probe only shows that a listener can be opened; the write opens its own.
  if (const Result<Listener> probe = OpenListener(SelectedLocalAddress(), setup_.hostPort, log);
      !probe) {
    Refused(ListenerRefused(probe.error()));
    return;
  }
  if (Refused(CheckDevice(record))) return;
  const bool hiddenMode = hiddenModeCounter_ == kHiddenModeOn;
  const std::string filter = FileDialogFilter(FilePrefixForKind(record.kind), hiddenMode);

  // Each write starts on an empty log, the probe's lines included.
  ClearLog();
  const std::string path = frontEnd_.OpenFirmwareFile(filter, setup_.firmwareFolder);
  if (path.empty() || Refused(CheckFileName(record, path, hiddenMode))) return;
  PrepareWrite(path, record.addressText, entries_[static_cast<size_t>(row)]);
}

void CFirmwareWriterDlg::PrepareWrite(const std::string& path, const std::string& deviceAddress,
                                      const std::string& entry) {
  // The digest of a large image takes a while; the window stays responsive,
  // busy so that no second write can start meanwhile.
  SetIdle(false);
  ShowPhase(kPreparingText);
  const uint64_t run = ++*run_;
  StartWorker([this, run, path, deviceAddress, entry](const StopSignal&) {
    const tl::expected<PreparedImage, PreflightResult> prepared = PrepareImage(path);
    Post(run, [this, prepared, deviceAddress, entry] {
      OnImagePrepared(prepared, deviceAddress, entry);
    });
  });
}

void CFirmwareWriterDlg::OnImagePrepared(
    const tl::expected<PreparedImage, PreflightResult>& prepared, const std::string& deviceAddress,
    const std::string& entry) {
  worker_.reset();  // it has handed over; the join only waits for it to return
  SetIdle(true);
  if (!prepared) {
    Refused(prepared.error());
    return;
  }
  firmwarePath_ = prepared->path;
  if (!frontEnd_.ShowMessage(WriteConfirmationText(firmwarePath_, entry), true)) return;
  LaunchWrite(deviceAddress, *prepared);
}

bool CFirmwareWriterDlg::Refused(const PreflightResult& check) {
  if (check.passed()) return false;
  frontEnd_.ShowMessage(PreflightMessage(check), false);
  return true;
}

void CFirmwareWriterDlg::LaunchWrite(const std::string& deviceAddress, const PreparedImage& image) {
  SetIdle(false);
  ShowPhase(kPreparingText);

  UpdateRequest request;
  request.deviceAddress = deviceAddress;
  request.localAddress = SelectedLocalAddress();
  request.listenerPort = setup_.hostPort;
  request.devicePort = setup_.ports.update;
  request.image = image;
  const UpdateLimits limits = setup_.updateLimits;
  const uint64_t run = ++*run_;
  StartWorker([this, run, request, limits](const StopSignal& stop) {
    UpdateHooks hooks;
    hooks.log = [this, run](std::string_view piece) {
      Post(run, [this, text = std::string(piece)] { AppendLog(text); });
    };
    hooks.progress = [this, run](int percent) {
      Post(run, [this, percent] { frontEnd_.SetProgress(percent); });
    };
    hooks.phase = [this, run](UpdatePhase phase) {
      Post(run, [this, phase] { ShowPhase(PhaseTextOf(phase).bar); });
    };
    hooks.stop = &stop;
    const WriteOutcome outcome = UpdateWorker(request, limits, hooks);
    // Queued behind every log piece and progress step of the run.
    Post(run, [this, outcome] { ReportWrite(outcome); });
  });
  writing_ = Running();
}

void CFirmwareWriterDlg::ReportWrite(const WriteOutcome& outcome) {
  worker_.reset();  // it has handed over; the join only waits for it to return
  writing_ = false;
  frontEnd_.ShowMessage(ResultMessage(outcome), false);
  if (outcome.succeeded()) {
    // The device restarts with its new firmware: it leaves the list and the
    // table until a new search finds it.
    const int row = SelectedRow();
    if (row >= 0 && static_cast<size_t>(row) < entries_.size()) {
      frontEnd_.RemoveDeviceRow(row);
      entries_.erase(entries_.begin() + row);
      RemoveDeviceRecord(table_, row);
    }
    frontEnd_.ClearDeviceSelection();
  }
  SetIdle(true);
  frontEnd_.SetEnabled(ControlId::kWriteButton, false);
}

bool CFirmwareWriterDlg::StartWorker(std::function<void(const StopSignal&)> body) {
  auto worker = std::make_unique<WorkerThread>();
  const int error = worker->Start(setup_.startThread, std::move(body));
  if (error != 0) {
    frontEnd_.ShowMessage(Format("処理を開始できませんでした:%d", error), false);
    SetIdle(true);
    return false;
  }
  worker_ = std::move(worker);
  return true;
}

void CFirmwareWriterDlg::ShowPhase(const char* format) {
  frontEnd_.SetProgressText(format);
}

void CFirmwareWriterDlg::Post(uint64_t run, std::function<void()> call) {
  frontEnd_.Post([current = std::weak_ptr<uint64_t>(run_), run, call = std::move(call)] {
    const std::shared_ptr<uint64_t> window = current.lock();
    if (window && *window == run) call();
  });
}

}  // namespace kesto::app
