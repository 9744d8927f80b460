#pragma once

#include <QString>
#include <QTemporaryDir>

#include <vector>

#include "net/interfaces.h"
#include "sim/simulator.h"

namespace kesto::app {

// Devices for trying the whole flow on one machine without devices or root:
// one of each kind letter on loopback, one in TMODE, one wireless with a
// signal strength, two asking for the update password.
std::vector<sim::DeviceConfig> DemoDevices();

// Only "127.0.0.1 (lo)": the demo must never search or write on a real network.
InterfaceTable DemoInterfaces();

// Writes the sample images "KS_N_demo.bin", "KESTOWiFi_demo.bin" and
// "PQ_demo.bin" into folder. False when one cannot be written.
bool WriteDemoSamples(const QString& folder);

// The demo devices on their usual ports, and a temporary folder of samples
// that goes away with the object.
class DemoBench {
 public:
  DemoBench();
  // 0 when the devices run, else the errno of the failed bind.
  int Start() { return simulator_.Start(); }
  // Empty when the folder could not be made.
  QString SampleFolder() const;

 private:
  QTemporaryDir folder_;
  sim::Simulator simulator_;
};

}  // namespace kesto::app
