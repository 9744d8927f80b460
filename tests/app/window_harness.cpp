#include "window_harness.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include "app/window_rules.h"
#include "platform/format.h"
#include "support/test_ports.h"

namespace kesto::app::testing {

InterfaceTable Interfaces(const std::vector<const char*>& addresses) {
  InterfaceTable table;
  for (const char* address : addresses) {
    InterfaceRecord record;
    record.ifIndex = 1;
    record.description = "lo";
    record.friendlyName = "lo";
    record.address = inet_addr(address);
    table.push_back(record);
  }
  return table;
}

WindowSetup TestSetup(const sim::Ports& ports) {
  WindowSetup setup;
  setup.interfaces = [] { return Interfaces({"127.0.0.1"}); };
  setup.ports = {ports.discovery, ports.query, ports.update};
  setup.searchLimits.quietMs = 300;
  setup.searchLimits.pauseMs = 10;
  setup.updateLimits.answerWaitMs = 500;
  setup.updateLimits.connectWaitMs = 2000;
  return setup;
}

sim::DeviceConfig Device(const char* address, char kindLetter, uint8_t serial, int sketchVersion,
                         int model, int id) {
  sim::DeviceConfig device = sim::MakeDevice(address, kindLetter, serial, sketchVersion, model, id);
  device.faults.replyDelayMs = 25 * serial;
  return device;
}

QString EntryPrefix(const sim::DeviceConfig& device) {
  const auto& mac = device.hardwareAddress;
  return QString::fromStdString(Format("%s / %02X-%02X-%02X-%02X-%02X-%02X / ",
                                       device.address.c_str(), mac[0], mac[1], mac[2], mac[3],
                                       mac[4], mac[5]));
}

bool SearchAndWait(Controls& controls) {
  if (!controls.search->isEnabled()) return false;
  controls.search->click();
  return QTest::qWaitFor([&] { return controls.search->isEnabled(); }, 20000);
}

void TypeHiddenSequence(QWidget* widget) {
  for (const int key : kHiddenKeys) QTest::keyClick(widget, static_cast<Qt::Key>(key));
}

QString WriteFile(const QString& folder, const QString& name, int size) {
  const QString path = QDir(folder).filePath(name);
  QFile file(path);
  QByteArray bytes(size, '\0');
  for (int i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
  if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != size) return {};
  return path;
}

CFirmwareWriterDlg& WindowFixture::Open(WindowSetup setup) {
  window_ = std::make_unique<CFirmwareWriterDlg>(std::move(setup), prompts_);
  if (window_->OnInitDialog()) window_->show();
  return *window_;
}

void WindowFixture::Close() {
  window_.reset();
  prompts_ = ScriptedPrompts();
}

int WindowFixture::StartDevices() {
  ports_ = kesto::testing::NextTestPorts();
  simulator_ = std::make_unique<sim::Simulator>(devices_, ports_);
  return simulator_->Start();
}

}  // namespace kesto::app::testing
