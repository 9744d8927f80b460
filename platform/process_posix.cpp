#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>

#include "platform/process.h"
#include "platform/stop_signal.h"

namespace kesto {
namespace {

// A signal handler can reach nothing but a global; Trigger() only write()s.
StopSignal* g_interrupt = nullptr;

void OnInterrupt(int) {
  if (g_interrupt) g_interrupt->Trigger();
}

}  // namespace

void StopOnInterrupt(StopSignal& stop) {
  g_interrupt = &stop;
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>{};
}

void UseUtf8Console() {}

bool StandardErrorIsTerminal() {
  return isatty(STDERR_FILENO) != 0;
}

bool StandardInputIsTerminal() {
  return isatty(STDIN_FILENO) != 0;
}

void RaiseOpenFileLimit(size_t wanted) {
  const auto target = static_cast<rlim_t>(wanted);
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= target) return;
  limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? target : std::min(target, limit.rlim_max);
  setrlimit(RLIMIT_NOFILE, &limit);
}

int CurrentProcessId() {
  return static_cast<int>(getpid());
}

std::string HostName() {
  std::array<char, 256> name{};
  if (gethostname(name.data(), name.size() - 1) != 0) return {};
  return name.data();
}

std::string LoginName() {
  // The account the run acts as; the environment only where it has no entry.
  std::array<char, 1024> buffer{};
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found)
    return found->pw_name;
  const char* user = std::getenv("USER");
  return user ? user : "";
}

}  // namespace kesto
