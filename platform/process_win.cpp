#include "platform/process.h"
#include "platform/stop_signal.h"
#include "platform/wide_text.h"
#include "platform/winsock.h"
// After windows.h, which it needs.
#include <shellapi.h>

namespace kesto {
namespace {

// The console calls the handler on a thread of its own; Trigger() only sends.
StopSignal* g_interrupt = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  if (g_interrupt) g_interrupt->Trigger();
  return TRUE;
}

}  // namespace

void StopOnInterrupt(StopSignal& stop) {
  g_interrupt = &stop;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide)
    return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>{};
  std::vector<std::string> arguments;
  for (int i = 1; i < count; ++i) arguments.push_back(Utf8FromWide(wide[i]));
  LocalFree(wide);
  return arguments;
}

void UseUtf8Console() {
  SetConsoleOutputCP(CP_UTF8);
  // The running writes' lines are redrawn in place with escape sequences,
  // which a console before Windows Terminal shows as text unless asked.
  constexpr DWORD kVirtualTerminal = 0x0004;  // ENABLE_VIRTUAL_TERMINAL_PROCESSING
  const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(error, &mode)) SetConsoleMode(error, mode | kVirtualTerminal);
}

bool StandardErrorIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

bool StandardInputIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

void RaiseOpenFileLimit(size_t) {
  // Winsock sockets count against no descriptor limit.
}

int CurrentProcessId() {
  return static_cast<int>(GetCurrentProcessId());
}

std::string HostName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  return GetComputerNameW(name, &size) ? Utf8FromWide(name) : std::string();
}

std::string LoginName() {
  wchar_t name[257] = {};
  DWORD size = 257;
  return GetUserNameW(name, &size) ? Utf8FromWide(name) : std::string();
}

}  // namespace kesto
