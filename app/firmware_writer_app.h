#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kesto::app {

struct StartOptions {
  bool demo = false;  // simulated devices on loopback, sample images
  bool help = false;
  bool version = false;
  uint16_t hostPort = 0;  // --host-port N: the listener's fixed port (0: any)
};

// The arguments after the program name. nullopt on anything unknown.
std::optional<StartOptions> ParseStartOptions(const std::vector<std::string>& arguments);

// The program: reads the command line, starts the demo devices when asked,
// and runs the one window modally; the program ends with the window.
class CFirmwareWriterApp {
 public:
  CFirmwareWriterApp(int& argc, char** argv) : argc_(argc), argv_(argv) {}
  // 0 after a normal run, 1 when the window ended itself (no usable
  // interface), 2 on a bad command line.
  int InitInstance();

 private:
  int& argc_;
  char** argv_;
};

}  // namespace kesto::app
