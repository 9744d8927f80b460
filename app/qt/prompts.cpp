#include "app/qt/prompts.h"

#include <QFileDialog>
#include <QMessageBox>

#include "kesto/version.h"
#include "texts/line_breaks.h"

namespace kesto::app {

bool DialogPrompts::Message(QWidget* owner, const std::string& text, bool okCancel) {
  QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(kApplicationName), DisplayText(text),
                  okCancel ? QMessageBox::Ok | QMessageBox::Cancel : QMessageBox::Ok, owner);
  box.setTextFormat(Qt::PlainText);
  return box.exec() == QMessageBox::Ok;
}

QString DialogPrompts::OpenFirmwareFile(QWidget* owner, const QStringList& nameFilters,
                                        const QString& folder) {
  QFileDialog dialog(owner, QString(), folder);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setOption(QFileDialog::HideNameFilterDetails);
  dialog.setNameFilters(nameFilters);
  dialog.setDefaultSuffix(QStringLiteral("bin"));
  if (dialog.exec() != QDialog::Accepted) return {};
  const QStringList chosen = dialog.selectedFiles();
  return chosen.isEmpty() ? QString() : chosen.first();
}

QString DisplayText(std::string_view text) {
  return QString::fromStdString(WithLineBreaks(text, "\n"));
}

QStringList QtNameFilters(std::string_view barSeparated) {
  const QStringList parts =
      QString::fromUtf8(barSeparated.data(), static_cast<qsizetype>(barSeparated.size()))
          .split(QLatin1Char('|'));
  QStringList filters;
  // Pairs of description and pattern; an empty description ends the list.
  for (qsizetype i = 0; i + 1 < parts.size() && !parts[i].isEmpty(); i += 2) {
    QStringList patterns = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (QString& pattern : patterns)
      if (pattern == QLatin1String("*.*")) pattern = QStringLiteral("*");
    filters.append(parts[i] + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) +
                   QLatin1Char(')'));
  }
  return filters;
}

}  // namespace kesto::app
