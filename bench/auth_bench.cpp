// The cost of the password challenge: the writer's own computation of one
// authentication message per scheme, and whole writes of a small image
// against simulated devices of each kind (the device's PBKDF2 included, as on
// loopback it runs on the same machine).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <tuple>

#include "sim/simulator.h"
#include "update/preflight.h"
#include "update/update_answers.h"
#include "update/update_run.h"

namespace {

using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// Mean time of one authentication message, over runs.
double MessageMs(kesto::ChallengeScheme scheme, kesto::StoredPassword stored, int runs) {
  const std::string nonce(scheme == kesto::ChallengeScheme::kMd5 ? 32 : 64, 'a');
  kesto::AuthenticationInput input{"/fw/KS_N_bench.bin",
                                   1 << 20,
                                   std::string(32, '0'),
                                   "127.0.0.2",
                                   "PELICANUS",
                                   nonce,
                                   scheme,
                                   stored};
  const auto start = Clock::now();
  for (int i = 0; i < runs; ++i)
    if (!kesto::AuthenticationMessage(input)) return -1;
  return Milliseconds(Clock::now() - start) / runs;
}

}  // namespace

int main() {
  using kesto::ChallengeScheme;
  using kesto::StoredPassword;
  std::printf("| the writer computes | mean (ms) |\n|---|---:|\n");
  std::printf("| MD5 message | %.3f |\n",
              MessageMs(ChallengeScheme::kMd5, StoredPassword::kMd5, 1000));
  std::printf("| SHA-256 message (PBKDF2, 10000 rounds) | %.2f |\n",
              MessageMs(ChallengeScheme::kSha256, StoredPassword::kSha256, 50));

  const kesto::sim::Ports ports{41200, 41201, 41202};
  const std::string path = "/tmp/kesto-bench-auth-" + std::to_string(getpid()) + ".bin";
  std::ofstream(path, std::ios::binary) << std::string(1024, 'x');
  std::printf(
      "\n| device | authentication | result | mean write of 1 KiB (ms) |\n|---|---|---:|---:|\n");
  constexpr int kRuns = 10;
  for (const auto& [name, auth, password] :
       {std::tuple{"no password", kesto::sim::AuthScheme::kMd5, ""},
        std::tuple{"MD5", kesto::sim::AuthScheme::kMd5, "PELICANUS"},
        std::tuple{"SHA-256", kesto::sim::AuthScheme::kSha256, "PELICANUS"},
        std::tuple{"SHA-256 holding MD5", kesto::sim::AuthScheme::kSha256Md5Hash, "PELICANUS"}}) {
    kesto::sim::DeviceConfig device;
    device.auth = auth;
    device.password = password;
    kesto::sim::Simulator simulator({device}, ports);
    if (simulator.Start() != 0) return 1;
    kesto::UpdateRequest request;
    request.deviceAddress = device.address;
    request.localAddress = "127.0.0.1";
    request.devicePort = ports.update;
    request.image = kesto::PrepareImage(path).value_or(kesto::PreparedImage{});
    kesto::WriteOutcome outcome;
    const auto start = Clock::now();
    for (int i = 0; i < kRuns; ++i) outcome = kesto::RunUpdate(request, {});
    std::printf("| %s | %s | %d | %.1f |\n", name,
                kesto::AuthenticationName(outcome.authentication), static_cast<int>(outcome.result),
                Milliseconds(Clock::now() - start) / kRuns);
  }
  unlink(path.c_str());
  return 0;
}
