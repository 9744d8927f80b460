#pragma once

#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QString>
#include <QStringList>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "app/firmware_writer_dlg.h"
#include "app/prompts.h"
#include "sim/simulator.h"

namespace kesto::app::testing {

// Answers the window's prompts from a script and records what was asked, so
// no modal dialog ever opens in a test.
class ScriptedPrompts final : public Prompts {
 public:
  struct Shown {
    std::string text;
    bool okCancel = false;
  };
  std::vector<Shown> messages;
  std::deque<bool> answers;       // OK (true) or Cancel for OK/Cancel boxes; OK when empty
  std::deque<QString> fileNames;  // chosen paths; cancelled when empty
  std::vector<QStringList> filterLists;
  std::vector<QString> folders;

  bool Message(QWidget*, const std::string& text, bool okCancel) override {
    messages.push_back({text, okCancel});
    if (!okCancel || answers.empty()) return true;
    const bool answer = answers.front();
    answers.pop_front();
    return answer;
  }

  QString OpenFirmwareFile(QWidget*, const QStringList& nameFilters,
                           const QString& folder) override {
    filterLists.push_back(nameFilters);
    folders.push_back(folder);
    if (fileNames.empty()) return {};
    QString chosen = fileNames.front();
    fileNames.pop_front();
    return chosen;
  }

  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const Shown& shown : messages) texts.push_back(shown.text);
    return texts;
  }
};

// The window's controls, found by name as an operator would see them.
struct Controls {
  explicit Controls(QWidget& window)
      : label(window.findChild<QLabel*>("interfaceLabel")),
        selector(window.findChild<QComboBox*>("interfaceSelector")),
        search(window.findChild<QPushButton*>("searchButton")),
        list(window.findChild<QListWidget*>("deviceList")),
        log(window.findChild<QPlainTextEdit*>("logPane")),
        write(window.findChild<QPushButton*>("writeButton")),
        progress(window.findChild<QProgressBar*>("progressBar")),
        caption(window.findChild<QLabel*>("versionCaption")) {}

  bool Found() const {
    return label && selector && search && list && log && write && progress && caption;
  }
  // The four controls that SetIdle switches.
  bool Idle() const {
    return selector->isEnabled() && search->isEnabled() && list->isEnabled() &&
           !progress->isVisible() && caption->isVisible();
  }
  bool Busy() const {
    return !selector->isEnabled() && !search->isEnabled() && !list->isEnabled() &&
           !write->isEnabled() && progress->isVisible() && !caption->isVisible();
  }
  QStringList Entries() const {
    QStringList entries;
    for (int i = 0; i < list->count(); ++i) entries << list->item(i)->text();
    return entries;
  }

  QLabel* label;
  QComboBox* selector;
  QPushButton* search;
  QListWidget* list;
  QPlainTextEdit* log;
  QPushButton* write;
  QProgressBar* progress;
  QLabel* caption;
};

InterfaceTable Interfaces(const std::vector<const char*>& addresses);

// Loopback as the only interface, the simulator's ports, short waits.
WindowSetup TestSetup(const sim::Ports& ports);

// A simulated device at address; replies come in the order of serial.
sim::DeviceConfig Device(const char* address, char kindLetter, uint8_t serial, int sketchVersion,
                         int model, int id);

// "127.0.0.k / 02-00-00-00-00-0s / ..." as the list shows the device.
QString EntryPrefix(const sim::DeviceConfig& device);

// Clicks Search and waits until the window is idle again.
bool SearchAndWait(Controls& controls);

// Types the hidden key sequence into widget.
void TypeHiddenSequence(QWidget* widget);

// Writes size bytes into folder/name; the path.
QString WriteFile(const QString& folder, const QString& name, int size);

// What the window test classes hold: scripted prompts, the window under test
// and, for those that search, the simulated devices on their own ports.
class WindowFixture {
 protected:
  // The window on setup, shown when its start-up succeeded.
  CFirmwareWriterDlg& Open(WindowSetup setup);
  // Closes the window and forgets what the prompts were asked.
  void Close();
  // Starts devices_ on fresh ports; the simulator's Start result.
  int StartDevices();

  std::vector<sim::DeviceConfig> devices_;
  sim::Ports ports_;
  std::unique_ptr<sim::Simulator> simulator_;
  ScriptedPrompts prompts_;
  std::unique_ptr<CFirmwareWriterDlg> window_;
};

}  // namespace kesto::app::testing
