#include "app/qt/firmware_writer_window.h"

#include <QApplication>
#include <QComboBox>
#include <QFrame>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTextCursor>

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

bool IsEnter(const QKeyEvent& key) {
  return key.key() == Qt::Key_Return || key.key() == Qt::Key_Enter;
}

}  // namespace

FirmwareWriterWindow::FirmwareWriterWindow(WindowSetup setup, Prompts& prompts, QWidget* parent)
    : QDialog(parent), prompts_(prompts), core_(std::move(setup), *this) {
  InitAppResources();
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setWindowTitle(QString::fromUtf8(kWindowTitle));
  setWindowIcon(QIcon(QStringLiteral(":/kesto-fw-gui.png")));
  setFont(DialogFont());
  CreateControls();
  qApp->installEventFilter(this);
}

FirmwareWriterWindow::~FirmwareWriterWindow() {
  // A worker must not outlive the controls it posts to.
  core_.Shutdown();
}

void FirmwareWriterWindow::CreateControls() {
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
  progressBar_->setRange(0, 100);
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
          [this](int row) { core_.OnInterfaceChanged(row); });
  connect(searchButton_, &QPushButton::clicked, this, [this] { core_.OnSearch(); });
  connect(deviceList_, &QListWidget::itemSelectionChanged, this,
          [this] { core_.OnDeviceSelectionChanged(); });
  connect(writeButton_, &QPushButton::clicked, this, [this] { core_.OnWrite(); });
}

bool FirmwareWriterWindow::OnInitDialog() {
  if (!core_.OnInitDialog()) return false;
  interfaceSelector_->setFocus();
  return true;
}

int FirmwareWriterWindow::DoModal() {
  if (!OnInitDialog()) return result();
  return exec();
}

void FirmwareWriterWindow::done(int result) {
  core_.Shutdown();
  QDialog::done(result);
}

void FirmwareWriterWindow::reject() {
  if (core_.OnClose(CloseRequest::kCloseBox)) QDialog::reject();
}

bool FirmwareWriterWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<const QKeyEvent*>(event);
    auto* widget = qobject_cast<QWidget*>(watched);
    // Alt turns a letter into a mnemonic; those do not count. A key event
    // that travels up to the parent passes here again, which is harmless:
    // the three letters differ, so one key never advances two steps.
    if (widget && (widget == this || isAncestorOf(widget)) && !(key->modifiers() & Qt::AltModifier))
      core_.OnKeyDown(key->key());
  }
  return QDialog::eventFilter(watched, event);
}

void FirmwareWriterWindow::keyPressEvent(QKeyEvent* event) {
  // A push button with the focus has taken its Enter before this point.
  if (IsEnter(*event)) {
    event->accept();
    return;
  }
  if (event->key() == Qt::Key_Escape) {
    event->accept();
    if (core_.OnClose(CloseRequest::kEscape)) QDialog::reject();
    return;
  }
  QDialog::keyPressEvent(event);
}

QWidget* FirmwareWriterWindow::Control(ControlId control) const {
  switch (control) {
    case ControlId::kLogPane:
      return logPane_;
    case ControlId::kWriteButton:
      return writeButton_;
    case ControlId::kDeviceList:
      return deviceList_;
    case ControlId::kSearchButton:
      return searchButton_;
    case ControlId::kProgressBar:
      return progressBar_;
    case ControlId::kVersionCaption:
      return versionCaption_;
    case ControlId::kInterfaceSelector:
      return interfaceSelector_;
  }
  return nullptr;
}

void FirmwareWriterWindow::SetEnabled(ControlId control, bool enabled) {
  if (QWidget* widget = Control(control)) widget->setEnabled(enabled);
}

void FirmwareWriterWindow::SetVisible(ControlId control, bool visible) {
  if (QWidget* widget = Control(control)) widget->setVisible(visible);
}

void FirmwareWriterWindow::SetText(ControlId control, const std::string& text) {
  if (control == ControlId::kVersionCaption) versionCaption_->setText(DisplayText(text));
  if (control == ControlId::kLogPane) logPane_->setPlainText(DisplayText(text));
}

void FirmwareWriterWindow::AppendToLog(std::string_view piece) {
  QTextCursor cursor = logPane_->textCursor();
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(DisplayText(piece));
  logPane_->setTextCursor(cursor);
  logPane_->ensureCursorVisible();
}

void FirmwareWriterWindow::SetProgress(int percent) {
  progressBar_->setValue(percent);
}

void FirmwareWriterWindow::SetProgressText(const std::string& format) {
  progressBar_->setFormat(QString::fromStdString(format));
}

void FirmwareWriterWindow::SetInterfaceRows(const std::vector<std::string>& rows, int current) {
  interfaceSelector_->clear();
  for (const std::string& row : rows) interfaceSelector_->addItem(QString::fromStdString(row));
  interfaceSelector_->setCurrentIndex(current);
}

void FirmwareWriterWindow::ClearDeviceRows() {
  deviceList_->clear();
}

void FirmwareWriterWindow::AddDeviceRow(const std::string& text) {
  deviceList_->addItem(QString::fromStdString(text));
}

void FirmwareWriterWindow::RemoveDeviceRow(int row) {
  delete deviceList_->takeItem(row);
}

int FirmwareWriterWindow::SelectedDeviceRow() const {
  const QList<QListWidgetItem*> selected = deviceList_->selectedItems();
  return selected.isEmpty() ? -1 : deviceList_->row(selected.first());
}

void FirmwareWriterWindow::ClearDeviceSelection() {
  deviceList_->clearSelection();
  deviceList_->setCurrentRow(-1);
}

bool FirmwareWriterWindow::ShowMessage(const std::string& text, bool okCancel) {
  return prompts_.Message(this, text, okCancel);
}

std::string FirmwareWriterWindow::OpenFirmwareFile(const std::string& filter,
                                                   const std::string& folder) {
  return prompts_.OpenFirmwareFile(this, QtNameFilters(filter), QString::fromStdString(folder))
      .toStdString();
}

void FirmwareWriterWindow::Post(std::function<void()> call) {
  // Dropped with the window: the context object is the window itself.
  QMetaObject::invokeMethod(this, std::move(call), Qt::QueuedConnection);
}

void FirmwareWriterWindow::EndModal(int result) {
  done(result);
}

}  // namespace kesto::app
