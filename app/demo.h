#pragma once

// Devices for trying the whole flow on one machine without devices or root:
// one of each kind letter on loopback, one in TMODE, one wireless with a
// signal strength, two asking for the update password. The simulator stays
// inside demo.cpp, so a front end needs nothing of it.

#include <memory>
#include <string>

#include "app/firmware_writer_dlg.h"
#include "net/interfaces.h"

namespace kesto::app {

// Only "127.0.0.1 (lo)": the demo must never search or write on a real network.
InterfaceTable DemoInterfaces();

// Writes the sample images "KS_N_demo.bin", "KESTOWiFi_demo.bin" and
// "PQ_demo.bin" into folder (UTF-8). False when one cannot be written.
bool WriteDemoSamples(const std::string& folder);

// The demo devices on their usual ports, and a temporary folder of samples
// that goes away with the object.
class DemoBench {
 public:
  DemoBench();
  ~DemoBench();
  DemoBench(const DemoBench&) = delete;
  DemoBench& operator=(const DemoBench&) = delete;

  // 0 when the devices run, else the errno of the failed bind.
  int Start();
  // Starts the devices and points setup at them and at the samples. The
  // operator's message when the devices could not start, else empty.
  std::string StartFor(WindowSetup& setup);
  // UTF-8; empty when the folder could not be made.
  std::string SampleFolder() const;

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
};

}  // namespace kesto::app
