#include "app/firmware_writer_dlg.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTextCursor>

#include "app/window_rules.h"
#include "platform/format.h"
#include "platform/socket.h"
#include "update/write_rules.h"

// Resources of a static library must be registered by name, outside any namespace.
static void InitAppResources() {
  Q_INIT_RESOURCE(app);
}

namespace kesto::app {
namespace {

// A place in dialog units.
struct DialogRect {
  int x, y, width, height;
};

// The window's template: client area and controls, in dialog units.
constexpr DialogRect kClientArea{0, 0, 329, 240};
constexpr DialogRect kInterfaceLabelPlace{5, 10, 270, 8};
constexpr DialogRect kInterfaceSelectorPlace{5, 20, 315, 330};  // height of the open list
constexpr DialogRect kSeparatorPlace{5, 45, 315, 1};
constexpr DialogRect kSearchPlace{5, 55, 50, 14};
constexpr DialogRect kDeviceListPlace{5, 75, 220, 135};
constexpr DialogRect kLogPlace{230, 75, 90, 85};
constexpr DialogRect kWritePlace{230, 175, 90, 34};
constexpr DialogRect kProgressPlace{5, 221, 315, 14};
constexpr DialogRect kVersionPlace{5, 221, 270, 8};

// Dialog units as Windows converts them: x·cx/4 and y·cy/8, with cx the mean
// advance of the 52 Latin letters in the dialog font and cy its height. The
// font's own average width is no use: CJK fonts report about twice the
// Latin width there.
struct DialogUnits {
  int cx;
  int cy;
  QRect ToPixels(const DialogRect& r) const {
    return {r.x * cx / 4, r.y * cy / 8, r.width * cx / 4, r.height * cy / 8};
  }
};

DialogUnits UnitsOf(const QFontMetrics& metrics) {
  const int letters = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return {(letters + 26) / 52, metrics.height()};
}

// A Japanese gothic at 9 pt. IPAPGothic has nearly the metrics of the
// Windows dialog font, so the window keeps the proportions of its template.
QFont DialogFont() {
  QFont font;
  font.setFamilies({QStringLiteral("IPAPGothic"), QStringLiteral("IPAGothic"),
                    QStringLiteral("Noto Sans CJK JP")});
  font.setPointSize(9);
  return font;
}

// What the bar says in each phase of a write. Only the transfer knows a
// percentage; the other phases can last seconds and say what is awaited.
const char* PhaseFormat(UpdatePhase phase) {
  switch (phase) {
    case UpdatePhase::kInvitation:
      return "招待を送信中…";
    case UpdatePhase::kAuthentication:
      return "認証中…";
    case UpdatePhase::kWaitingForDevice:
      return "デバイスの接続を待っています…";
    case UpdatePhase::kTransfer:
      return "転送中 %p%";
    case UpdatePhase::kFinalAnswer:
      return "デバイスの応答を待っています…";
  }
  return "%p%";
}

constexpr const char* kPreparingFormat = "準備中…";
// A search in the order of its phases: broadcast and replies, the device
// queries, the list entries.
constexpr const char* kSearchFormats[] = {"検索中…", "デバイス情報を取得中…", "一覧を作成中…"};

bool IsEnter(const QKeyEvent& key) {
  return key.key() == Qt::Key_Return || key.key() == Qt::Key_Enter;
}

}  // namespace

CFirmwareWriterDlg::CFirmwareWriterDlg(WindowSetup setup, Prompts& prompts, QWidget* parent)
    : QDialog(parent),
      setup_(std::move(setup)),
      prompts_(prompts),
      versionText_(ProgramVersionText()),
      hiddenModeCounter_(kHiddenModeStart) {
  InitAppResources();
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setWindowTitle(QString::fromUtf8(kWindowTitle));
  setWindowIcon(QIcon(QStringLiteral(":/kesto-fw-gui.png")));
  setFont(DialogFont());
  CreateControls();
  // The hidden key sequence counts key-downs for any of our controls, before
  // the control sees them.
  qApp->installEventFilter(this);
}

CFirmwareWriterDlg::~CFirmwareWriterDlg() {
  // A worker must not outlive the controls it posts to.
  StopWorker();
}

void CFirmwareWriterDlg::CreateControls() {
  const DialogUnits units = UnitsOf(fontMetrics());
  setFixedSize(units.ToPixels(kClientArea).size());

  // Created in tab order.
  interfaceLabel_ = new QLabel(QStringLiteral("ネットワークデバイス選択(&N)"), this);
  interfaceLabel_->setObjectName(QStringLiteral("interfaceLabel"));
  interfaceLabel_->setGeometry(units.ToPixels(kInterfaceLabelPlace));

  interfaceSelector_ = new QComboBox(this);
  interfaceSelector_->setObjectName(QStringLiteral("interfaceSelector"));
  const QRect selector = units.ToPixels(kInterfaceSelectorPlace);
  interfaceSelector_->setGeometry(selector.x(), selector.y(), selector.width(),
                                  interfaceSelector_->sizeHint().height());
  interfaceLabel_->setBuddy(interfaceSelector_);

  auto* separator = new QFrame(this);
  separator->setObjectName(QStringLiteral("separator"));
  separator->setFrameShape(QFrame::HLine);
  separator->setFrameShadow(QFrame::Sunken);
  const QRect line = units.ToPixels(kSeparatorPlace);
  separator->setGeometry(line.x(), line.y(), line.width(), 2);

  searchButton_ = new QPushButton(QStringLiteral("検索(&S)"), this);
  searchButton_->setObjectName(QStringLiteral("searchButton"));
  searchButton_->setGeometry(units.ToPixels(kSearchPlace));

  deviceList_ = new QListWidget(this);
  deviceList_->setObjectName(QStringLiteral("deviceList"));
  deviceList_->setGeometry(units.ToPixels(kDeviceListPlace));
  deviceList_->setSelectionMode(QAbstractItemView::SingleSelection);
  deviceList_->setSortingEnabled(false);  // row i is table slot i

  logPane_ = new QPlainTextEdit(this);
  logPane_->setObjectName(QStringLiteral("logPane"));
  logPane_->setGeometry(units.ToPixels(kLogPlace));
  logPane_->setReadOnly(true);

  writeButton_ = new QPushButton(QStringLiteral("書き込み(&W)"), this);
  writeButton_->setObjectName(QStringLiteral("writeButton"));
  writeButton_->setGeometry(units.ToPixels(kWritePlace));

  progressBar_ = new QProgressBar(this);
  progressBar_->setObjectName(QStringLiteral("progressBar"));
  progressBar_->setGeometry(units.ToPixels(kProgressPlace));
  progressBar_->setTextVisible(true);
  progressBar_->setAlignment(Qt::AlignCenter);

  versionCaption_ = new QLabel(QStringLiteral("Static"), this);
  versionCaption_->setObjectName(QStringLiteral("versionCaption"));
  versionCaption_->setGeometry(units.ToPixels(kVersionPlace));

  setTabOrder(interfaceSelector_, searchButton_);
  setTabOrder(searchButton_, deviceList_);
  setTabOrder(deviceList_, logPane_);
  setTabOrder(logPane_, writeButton_);

  connect(interfaceSelector_, &QComboBox::currentIndexChanged, this,
          &CFirmwareWriterDlg::OnInterfaceChanged);
  connect(searchButton_, &QPushButton::clicked, this, &CFirmwareWriterDlg::OnSearch);
  connect(deviceList_, &QListWidget::itemSelectionChanged, this,
          &CFirmwareWriterDlg::OnDeviceSelectionChanged);
  connect(writeButton_, &QPushButton::clicked, this, &CFirmwareWriterDlg::OnWrite);
}

bool CFirmwareWriterDlg::OnInitDialog() {
  versionCaption_->setText(QString::fromStdString(versionText_));
  progressBar_->setRange(0, 100);
  progressBar_->setValue(0);

  interfaceTable_ = setup_.interfaces();
  if (interfaceTable_.size() > kInterfaceTableSize) interfaceTable_.resize(kInterfaceTableSize);
  if (interfaceTable_.empty()) {
    prompts_.Message(this, kMessageNoInterface, false);
    done(-1);
    return false;
  }
  for (const InterfaceRecord& record : interfaceTable_)
    interfaceSelector_->addItem(QString::fromStdString(InterfaceEntryText(record)));
  interfaceSelector_->setCurrentIndex(0);
  selectedLocalAddress_ = interfaceTable_[0].address;

  SetIdle(true);
  writeButton_->setEnabled(false);
  logPane_->hide();
  interfaceSelector_->setFocus();
  return true;
}

int CFirmwareWriterDlg::DoModal() {
  if (!OnInitDialog()) return result();
  return exec();
}

void CFirmwareWriterDlg::SetIdle(bool idle) {
  interfaceSelector_->setEnabled(idle);
  searchButton_->setEnabled(idle);
  deviceList_->setEnabled(idle);
  writeButton_->setEnabled(idle);
  progressBar_->setValue(0);
  progressBar_->setVisible(!idle);
  versionCaption_->setVisible(idle);
}

void CFirmwareWriterDlg::AppendLog(std::string_view piece) {
  log_.append(piece);
  QTextCursor cursor = logPane_->textCursor();
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(DisplayText(piece));
  logPane_->setTextCursor(cursor);
  logPane_->ensureCursorVisible();
}

std::string CFirmwareWriterDlg::SelectedLocalAddress() const {
  return interfaceTable_.empty() ? std::string() : Ipv4Text(selectedLocalAddress_);
}

void CFirmwareWriterDlg::done(int result) {
  StopWorker();
  QDialog::done(result);
}

void CFirmwareWriterDlg::reject() {
  // The write goes on while the question is open; it may end meanwhile, and
  // then there is nothing left to stop.
  if (writing_ && !prompts_.Message(this, kMessageStopWrite, true)) return;
  QDialog::reject();
}

bool CFirmwareWriterDlg::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress && hiddenModeCounter_ != kHiddenModeOn) {
    const auto* key = static_cast<const QKeyEvent*>(event);
    auto* widget = qobject_cast<QWidget*>(watched);
    // Alt turns a letter into a mnemonic; those do not count. A key event
    // that travels up to the parent passes here again, which is harmless:
    // the three letters differ, so one key never advances two steps.
    if (widget && (widget == this || isAncestorOf(widget)) &&
        !(key->modifiers() & Qt::AltModifier)) {
      hiddenModeCounter_ = AdvanceHiddenMode(hiddenModeCounter_, key->key());
      if (hiddenModeCounter_ == kHiddenModeOn)
        versionCaption_->setText(QString::fromStdString(versionText_ + " *"));
    }
  }
  return QDialog::eventFilter(watched, event);
}

void CFirmwareWriterDlg::keyPressEvent(QKeyEvent* event) {
  // A push button with the focus has taken its Enter before this point.
  if (IsEnter(*event) || (event->key() == Qt::Key_Escape && Running())) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void CFirmwareWriterDlg::OnInterfaceChanged(int row) {
  if (row >= 0 && static_cast<size_t>(row) < interfaceTable_.size())
    selectedLocalAddress_ = interfaceTable_[static_cast<size_t>(row)].address;
}

void CFirmwareWriterDlg::OnDeviceSelectionChanged() {
  writeButton_->setEnabled(SelectedRow() >= 0);
}

int CFirmwareWriterDlg::SelectedRow() const {
  const QList<QListWidgetItem*> selected = deviceList_->selectedItems();
  if (selected.isEmpty()) return -1;
  const int row = deviceList_->row(selected.first());
  return row < kDeviceTableSize ? row : -1;
}

void CFirmwareWriterDlg::OnSearch() {
  // The busy state disables Search; a click already queued must not start a
  // second run beside the first.
  if (worker_) return;
  // Emptied and busy before the thread starts, so no second click slips in.
  deviceList_->clear();
  SetIdle(false);
  ShowPhase(kSearchFormats[0]);

  DiscoveryOptions options;
  options.localAddress = selectedLocalAddress_;
  options.discoveryPort = setup_.ports.discovery;
  options.quietMs = setup_.searchLimits.quietMs;
  options.query.localAddress = selectedLocalAddress_;
  options.query.port = setup_.ports.query;
  options.query.connectTimeoutMs = setup_.searchLimits.connectTimeoutMs;
  options.query.receiveTimeoutMs = setup_.searchLimits.receiveTimeoutMs;
  options.query.pauseMs = setup_.searchLimits.pauseMs;
  const uint64_t run = ++run_;
  options.phase = [this, run](SearchPhase phase) {
    Post(run, [this, phase] { ShowPhase(kSearchFormats[static_cast<size_t>(phase)]); });
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
  for (const std::string& entry : outcome.entries)
    deviceList_->addItem(QString::fromStdString(entry));
  // Idle only now that every entry is in: Write is enabled although nothing
  // is selected; a press then asks for a device.
  SetIdle(true);
}

void CFirmwareWriterDlg::OnWrite() {
  if (worker_) return;
  const int row = SelectedRow();
  if (row < 0) {
    prompts_.Message(this, kMessageSelectDevice, false);
    return;
  }
  const auto log = [this](std::string_view piece) { AppendLog(piece); };
  if (ProbeListenerPort(SelectedLocalAddress(), setup_.hostPort, log) != 0) {
    prompts_.Message(this, kMessageFirewall, false);
    return;
  }
  const DeviceRecord& record = table_.records[static_cast<size_t>(row)];
  const std::string prefix = FilePrefixForKind(record.kind);
  if (IsRefusedForTmode(record)) {
    prompts_.Message(this, kMessageTmode, false);
    return;
  }
  const bool hiddenMode = hiddenModeCounter_ == kHiddenModeOn;
  const QStringList filters = QtNameFilters(FileDialogFilter(prefix, hiddenMode));

  // Each write starts on an empty log, the probe's lines included.
  log_.clear();
  logPane_->clear();

  const QString path = prompts_.OpenFirmwareFile(this, filters, setup_.firmwareFolder);
  if (path.isEmpty()) return;
  if (!FileNameMatchesPrefix(QFileInfo(path).fileName().toStdString(), prefix, hiddenMode)) {
    prompts_.Message(this, kMessageWrongFile, false);
    return;
  }
  firmwarePath_ = path;
  const std::string entry = deviceList_->item(row)->text().toStdString();
  if (!prompts_.Message(this, WriteConfirmationText(firmwarePath_.toStdString(), entry), true))
    return;
  LaunchWrite(record.addressText);
}

void CFirmwareWriterDlg::LaunchWrite(const std::string& deviceAddress) {
  SetIdle(false);
  ShowPhase(kPreparingFormat);

  UpdateRequest request;
  request.deviceAddress = deviceAddress;
  request.localAddress = SelectedLocalAddress();
  request.listenerPort = setup_.hostPort;
  request.devicePort = setup_.ports.update;
  request.firmwarePath = QFile::encodeName(firmwarePath_).toStdString();
  const UpdateLimits limits = setup_.updateLimits;
  const uint64_t run = ++run_;
  StartWorker([this, run, request, limits](const StopSignal& stop) {
    UpdateHooks hooks;
    hooks.log = [this, run](std::string_view piece) {
      Post(run, [this, text = std::string(piece)] { AppendLog(text); });
    };
    hooks.progress = [this, run](int percent) {
      Post(run, [this, percent] { progressBar_->setValue(percent); });
    };
    hooks.phase = [this, run](UpdatePhase phase) {
      Post(run, [this, phase] { ShowPhase(PhaseFormat(phase)); });
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
  prompts_.Message(this, ResultMessage(outcome), false);
  if (outcome.succeeded()) {
    // The device restarts with its new firmware: it leaves the list and the
    // table until a new search finds it.
    const int row = SelectedRow();
    if (row >= 0) {
      delete deviceList_->takeItem(row);
      RemoveDeviceRecord(table_, row);
    }
    deviceList_->clearSelection();
    deviceList_->setCurrentRow(-1);
  }
  SetIdle(true);
  writeButton_->setEnabled(false);
}

bool CFirmwareWriterDlg::StartWorker(std::function<void(const StopSignal&)> body) {
  auto worker = std::make_unique<WorkerThread>();
  const int error = worker->Start(setup_.startThread, std::move(body));
  if (error != 0) {
    prompts_.Message(this, Format("処理を開始できませんでした:%d", error), false);
    SetIdle(true);
    return false;
  }
  worker_ = std::move(worker);
  return true;
}

void CFirmwareWriterDlg::StopWorker() {
  writing_ = false;
  if (!worker_) return;
  ++run_;           // whatever it has queued is dropped
  worker_.reset();  // stops it and joins
}

void CFirmwareWriterDlg::ShowPhase(const char* format) {
  progressBar_->setFormat(QString::fromUtf8(format));
}

void CFirmwareWriterDlg::Post(uint64_t run, std::function<void()> call) {
  QMetaObject::invokeMethod(
      this,
      [this, run, call = std::move(call)] {
        if (run == run_) call();
      },
      Qt::QueuedConnection);
}

}  // namespace kesto::app
