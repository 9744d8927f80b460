#include "app/demo.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <cstdint>

#include "platform/socket.h"

namespace kesto::app {
namespace {

sim::DeviceConfig Device(const char* address, char kindLetter, uint8_t serial, int sketchVersion,
                         int model, int id) {
  sim::DeviceConfig device = sim::MakeDevice(address, kindLetter, serial, sketchVersion, model, id);
  // Replies in list order, and a pace at which the progress bar can be seen.
  device.faults.replyDelayMs = 20 * serial;
  device.faults.ackDelayMs = 15;
  return device;
}

// Bytes that look like an image and are the same on every run.
QByteArray SampleImage(int size, uint32_t seed) {
  QByteArray image(size, '\0');
  uint32_t state = seed;
  for (char& byte : image) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<char>(state >> 24);
  }
  return image;
}

}  // namespace

std::vector<sim::DeviceConfig> DemoDevices() {
  std::vector<sim::DeviceConfig> devices;
  devices.push_back(Device("127.0.0.2", 'B', 1, 125, 0, 1));
  devices.push_back(Device("127.0.0.3", 'B', 2, 110, 3, 15));  // TMODE: refused
  devices.push_back(Device("127.0.0.4", 'W', 3, 124, 17, 2));
  devices.back().password = "PELICANUS";
  devices.push_back(Device("127.0.0.5", 'L', 4, 125, 0, 1));
  devices.back().rssi = -58;
  devices.back().password = "PELICANUS";
  devices.push_back(Device("127.0.0.6", 'T', 5, 102, 0, 1));
  return devices;
}

InterfaceTable DemoInterfaces() {
  InterfaceRecord loopback;
  loopback.friendlyName = "lo";
  loopback.address = *ParseIpv4("127.0.0.1");
  return {loopback};
}

bool WriteDemoSamples(const QString& folder) {
  struct Sample {
    const char* name;
    int size;
  };
  constexpr Sample kSamples[] = {
      {"KS_N_demo.bin", 48 * 1024}, {"KESTOWiFi_demo.bin", 40 * 1024}, {"PQ_demo.bin", 32 * 1024}};
  bool written = true;
  uint32_t seed = 1;
  for (const Sample& sample : kSamples) {
    QFile file(QDir(folder).filePath(QString::fromLatin1(sample.name)));
    const QByteArray image = SampleImage(sample.size, seed++);
    written = file.open(QIODevice::WriteOnly) && file.write(image) == image.size() && written;
  }
  return written;
}

DemoBench::DemoBench() : simulator_(DemoDevices()) {
  if (folder_.isValid()) WriteDemoSamples(folder_.path());
}

QString DemoBench::SampleFolder() const {
  return folder_.isValid() ? folder_.path() : QString();
}

}  // namespace kesto::app
