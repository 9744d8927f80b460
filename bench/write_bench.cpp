// Write time against a simulated device on loopback (1 MiB and 4 MiB), with
// and without an acknowledgement delay standing in for a slower network, and
// the CPU time the writer spends while it waits for a device that never
// connects.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "sim/simulator.h"
#include "update/preflight.h"
#include "update/update_run.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::string WriteImage(size_t size) {
  const std::string path =
      "/tmp/kesto-bench-" + std::to_string(getpid()) + "-" + std::to_string(size) + ".bin";
  std::vector<char> bytes(size);
  std::mt19937 random(7);
  for (char& byte : bytes) byte = static_cast<char>(random());
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(size));
  return path;
}

kesto::UpdateRequest Request(const std::string& path, const kesto::sim::Ports& ports) {
  kesto::UpdateRequest request;
  request.deviceAddress = "127.0.0.2";
  request.localAddress = "127.0.0.1";
  request.devicePort = ports.update;
  request.image = kesto::PrepareImage(path).value_or(kesto::PreparedImage{});
  return request;
}

double WriteSeconds(const std::string& path, int ackDelayMs, const kesto::sim::Ports& ports,
                    int32_t& code) {
  kesto::sim::DeviceConfig device;
  device.faults.ackDelayMs = ackDelayMs;
  kesto::sim::Simulator simulator({device}, ports);
  if (simulator.Start() != 0) return -1;
  const auto start = Clock::now();
  code = static_cast<int32_t>(kesto::RunUpdate(Request(path, ports), {}).result);
  return Seconds(Clock::now() - start);
}

}  // namespace

int main() {
  const kesto::sim::Ports ports{41100, 41101, 41102};
  std::printf(
      "| image | ack delay (ms) | result | time (s) | throughput (KiB/s) | floor (s) | ratio |\n");
  std::printf("|---:|---:|---:|---:|---:|---:|---:|\n");
  double roundTrip = 0;
  for (const int delay : {0, 4}) {
    for (const size_t size : {size_t{1} << 20, size_t{4} << 20}) {
      const std::string path = WriteImage(size);
      int32_t code = -1;
      const double seconds = WriteSeconds(path, delay, ports, code);
      unlink(path.c_str());
      const double chunks = static_cast<double>((size + 1023) / 1024);
      if (delay == 0 && size == (size_t{1} << 20)) roundTrip = seconds / chunks;
      // Stop-and-wait floor: each chunk waits for its acknowledgement.
      // Stop-and-wait floor of a delayed run: each chunk waits the delay plus
      // the whole per-chunk cost of the undelayed 1 MiB run.
      const double floor = chunks * (delay / 1000.0 + roundTrip);
      const double throughput = static_cast<double>(size) / 1024.0 / seconds;
      if (delay == 0)
        std::printf("| %zu MiB | 0 | %d | %.2f | %.0f | - | - |\n", size >> 20, code, seconds,
                    throughput);
      else
        std::printf("| %zu MiB | %d | %d | %.2f | %.0f | %.2f | %.2f |\n", size >> 20, delay, code,
                    seconds, throughput, floor, seconds / floor);
    }
  }

  kesto::sim::DeviceConfig silent;
  silent.faults.neverConnect = true;
  kesto::sim::Simulator simulator({silent}, ports);
  if (simulator.Start() != 0) return 1;
  const std::string path = WriteImage(4096);
  const double cpuBefore = CpuSeconds();
  const auto start = Clock::now();
  const auto code = static_cast<int32_t>(kesto::RunUpdate(Request(path, ports), {}).result);
  const double wall = Seconds(Clock::now() - start);
  const double cpu = CpuSeconds() - cpuBefore;
  unlink(path.c_str());
  std::printf(
      "\nWaiting for a device that never connects: result %d after %.2f s wall, "
      "%.4f s CPU on the writer's thread\n",
      code, wall, cpu);
  return 0;
}
