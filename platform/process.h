#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kesto {

class StopSignal;

// From now on Ctrl+C (and on POSIX SIGTERM) triggers stop instead of ending
// the process, so a running search or write ends through its usual stop.
// stop must live until the process ends.
void StopOnInterrupt(StopSignal& stop);

// The program's arguments after its name, as UTF-8 (Windows hands main() the
// ANSI code page, which cannot hold every file name).
std::vector<std::string> ProgramArguments(int argc, char** argv);

// Text written to the console is UTF-8 (a no-op where it always is).
void UseUtf8Console();

bool StandardErrorIsTerminal();
bool StandardInputIsTerminal();

// Raises the soft limit of open descriptors towards wanted, as far as the hard
// limit allows (nothing to do where sockets have no such limit).
void RaiseOpenFileLimit(size_t wanted);

int CurrentProcessId();

// This computer's name, and the name its user logged in with; empty when the
// system does not tell.
std::string HostName();
std::string LoginName();

}  // namespace kesto
