#include "app/demo.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <system_error>
#include <vector>

#include "app/demo_devices.h"
#include "platform/files.h"
#include "platform/format.h"
#include "platform/socket.h"
#include "update/update_run.h"

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
std::vector<char> SampleImage(size_t size, uint32_t seed) {
  std::vector<char> image(size);
  uint32_t state = seed;
  for (char& byte : image) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<char>(state >> 24);
  }
  return image;
}

// A new folder of its own under the system's temporary folder; empty when
// none could be made.
std::filesystem::path MakeTemporaryFolder() {
  std::error_code error;
  const std::filesystem::path base = std::filesystem::temp_directory_path(error);
  if (error) return {};
  std::random_device random;
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::filesystem::path folder = base / ("kesto-demo-" + std::to_string(random()));
    if (std::filesystem::create_directory(folder, error)) return folder;
  }
  return {};
}

}  // namespace

std::vector<sim::DeviceConfig> DemoDevices() {
  std::vector<sim::DeviceConfig> devices;
  devices.push_back(Device("127.0.0.2", 'B', 1, 125, 0, 1));
  devices.push_back(Device("127.0.0.3", 'B', 2, 110, 3, 15));  // TMODE: refused
  devices.push_back(Device("127.0.0.4", 'W', 3, 124, 17, 2));
  devices.back().password = kUpdatePassword;
  devices.push_back(Device("127.0.0.5", 'L', 4, 125, 0, 1));
  devices.back().rssi = -58;
  devices.back().password = kUpdatePassword;
  devices.push_back(Device("127.0.0.6", 'T', 5, 102, 0, 1));
  return devices;
}

InterfaceTable DemoInterfaces() {
  InterfaceRecord loopback;
  loopback.friendlyName = "lo";
  loopback.address = *ParseIpv4("127.0.0.1");
  return {loopback};
}

bool WriteDemoSamples(const std::string& folder) {
  struct Sample {
    const char* name;
    size_t size;
  };
  constexpr Sample kSamples[] = {
      {"KS_N_demo.bin", 48 * 1024}, {"KESTOWiFi_demo.bin", 40 * 1024}, {"PQ_demo.bin", 32 * 1024}};
  bool written = true;
  uint32_t seed = 1;
  for (const Sample& sample : kSamples) {
    const std::vector<char> image = SampleImage(sample.size, seed++);
    std::ofstream file(PathFromUtf8(folder) / sample.name, std::ios::binary | std::ios::trunc);
    file.write(image.data(), static_cast<std::streamsize>(image.size()));
    file.close();
    written = !file.fail() && written;
  }
  return written;
}

struct DemoBench::Parts {
  std::filesystem::path folder = MakeTemporaryFolder();
  sim::Simulator simulator{DemoDevices()};
};

DemoBench::DemoBench() : parts_(std::make_unique<Parts>()) {
  if (!parts_->folder.empty()) WriteDemoSamples(SampleFolder());
}

DemoBench::~DemoBench() {
  parts_->simulator.Stop();
  std::error_code ignored;
  if (!parts_->folder.empty()) std::filesystem::remove_all(parts_->folder, ignored);
}

int DemoBench::Start() {
  return parts_->simulator.Start();
}

std::string DemoBench::StartFor(WindowSetup& setup) {
  setup.interfaces = DemoInterfaces;
  setup.firmwareFolder = SampleFolder();
  if (const int error = Start(); error != 0)
    return Format("デモ用の模擬デバイスを起動できませんでした: %s", SystemErrorText(error).c_str());
  return {};
}

std::string DemoBench::SampleFolder() const {
  const std::u8string text = parts_->folder.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace kesto::app
