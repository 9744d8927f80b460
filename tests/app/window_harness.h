#pragma once

#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "app/firmware_writer_dlg.h"
#include "platform/socket.h"
#include "sim/simulator.h"
#include "support/test_ports.h"

namespace kesto::app::testing {

// Answers the window's prompts from a script and records what was asked, so
// no modal dialog ever opens in a test.
class ScriptedPrompts final : public Prompts {
 public:
  std::vector<std::string> texts;  // every message shown, in order
  std::deque<bool> answers;        // for OK/Cancel boxes; OK when empty
  QStringList fileNames;           // chosen paths; cancelled when empty
  std::vector<QStringList> filterLists;

  bool Message(QWidget*, const std::string& text, bool okCancel) override {
    texts.push_back(text);
    const bool answer = !okCancel || answers.empty() || answers.front();
    if (okCancel && !answers.empty()) answers.pop_front();
    return answer;
  }
  QString OpenFirmwareFile(QWidget*, const QStringList& nameFilters, const QString&) override {
    filterLists.push_back(nameFilters);
    return fileNames.isEmpty() ? QString() : fileNames.takeFirst();
  }
};

// The window's controls, found by name as an operator would see them.
struct Controls {
  explicit Controls(QWidget& window)
      : search(window.findChild<QPushButton*>("searchButton")),
        list(window.findChild<QListWidget*>("deviceList")),
        write(window.findChild<QPushButton*>("writeButton")),
        progress(window.findChild<QProgressBar*>("progressBar")),
        caption(window.findChild<QLabel*>("versionCaption")) {}

  // As SetIdle leaves them (the Write button aside, which has rules of its own).
  bool Idle() const {
    return search->isEnabled() && list->isEnabled() && !progress->isVisible() &&
           caption->isVisible();
  }
  bool Busy() const {
    return !search->isEnabled() && !list->isEnabled() && !write->isEnabled() &&
           progress->isVisible() && !caption->isVisible();
  }
  QStringList Entries() const {
    QStringList entries;
    for (int i = 0; i < list->count(); ++i) entries << list->item(i)->text();
    return entries;
  }
  bool SearchAndWait() const {
    search->click();
    return QTest::qWaitFor([this] { return search->isEnabled(); }, 20000);
  }

  QPushButton* search;
  QListWidget* list;
  QPushButton* write;
  QProgressBar* progress;
  QLabel* caption;
};

// Loopback as the only interface, the simulator's ports, short waits.
inline WindowSetup TestSetup(const sim::Ports& ports) {
  WindowSetup setup;
  setup.interfaces = [] {
    InterfaceRecord loopback;
    loopback.friendlyName = "lo";
    loopback.address = *ParseIpv4("127.0.0.1");
    return InterfaceTable{loopback};
  };
  setup.ports = {ports.discovery, ports.query, ports.update};
  setup.searchLimits.quietMs = 300;
  setup.searchLimits.pauseMs = 10;
  setup.updateLimits.answerWaitMs = 500;
  setup.updateLimits.connectWaitMs = 2000;
  return setup;
}

// A simulated device at address; replies come in the order of serial.
inline sim::DeviceConfig Device(const char* address, char kindLetter, uint8_t serial,
                                int sketchVersion = 125, int model = 0, int id = 1) {
  sim::DeviceConfig device = sim::MakeDevice(address, kindLetter, serial, sketchVersion, model, id);
  device.faults.replyDelayMs = 25 * serial;
  return device;
}

// What the window test classes hold: scripted prompts, the window under test
// and the simulated devices on their own ports.
class WindowFixture {
 protected:
  // The window on setup, shown when its start-up succeeded.
  CFirmwareWriterDlg& Open(WindowSetup setup) {
    window_ = std::make_unique<CFirmwareWriterDlg>(std::move(setup), prompts_);
    if (window_->OnInitDialog()) window_->show();
    return *window_;
  }
  // Closes the window and forgets what the prompts were asked.
  void Close() {
    window_.reset();
    prompts_ = ScriptedPrompts();
  }
  // Starts devices_ on fresh ports; the simulator's Start result.
  int StartDevices() {
    ports_ = kesto::testing::NextTestPorts();
    simulator_ = std::make_unique<sim::Simulator>(devices_, ports_);
    return simulator_->Start();
  }

  std::vector<sim::DeviceConfig> devices_;
  sim::Ports ports_;
  std::unique_ptr<sim::Simulator> simulator_;
  ScriptedPrompts prompts_;
  std::unique_ptr<CFirmwareWriterDlg> window_;
};

}  // namespace kesto::app::testing
