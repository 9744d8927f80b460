#pragma once

#include <QString>
#include <QStringList>

#include <string>
#include <string_view>

class QWidget;

namespace kesto::app {

// The window's modal questions: message boxes and the firmware file dialog.
// Behind an interface so that tests answer them without a modal loop.
class Prompts {
 public:
  virtual ~Prompts() = default;

  // A message box over owner with the application's name as caption. text is
  // UTF-8; "\r\n" and "\n" break lines. With okCancel it offers OK and Cancel
  // and returns whether OK was chosen; otherwise only OK (and returns true).
  virtual bool Message(QWidget* owner, const std::string& text, bool okCancel) = 0;

  // The open dialog for an existing firmware file, starting in folder (empty:
  // the dialog's own default). The full path, or an empty string when cancelled.
  virtual QString OpenFirmwareFile(QWidget* owner, const QStringList& nameFilters,
                                   const QString& folder) = 0;
};

// The real dialogs: QMessageBox and QFileDialog.
class DialogPrompts final : public Prompts {
 public:
  bool Message(QWidget* owner, const std::string& text, bool okCancel) override;
  QString OpenFirmwareFile(QWidget* owner, const QStringList& nameFilters,
                           const QString& folder) override;
};

// UTF-8 text as Qt shows it: "\r\n" becomes "\n".
QString DisplayText(std::string_view text);

// "Description|pattern|...||" to Qt's name filters. Each becomes
// "Description (patterns)" so Qt can read the patterns back; the dialog hides
// that tail, so the operator sees the description alone. "*.*" means every
// file, as the bar form intends, so it becomes "*".
QStringList QtNameFilters(std::string_view barSeparated);

}  // namespace kesto::app
