#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

namespace kesto::app {

struct StartOptions {
  bool demo = false;      // simulated devices on loopback, sample images
  uint16_t hostPort = 0;  // the listener's fixed port; 0: the system chooses
  bool help = false;
  bool version = false;
};

// The arguments after the program name. nullopt, with the reason in error,
// on anything unknown or a bad value.
std::optional<StartOptions> ParseStartOptions(const QStringList& arguments, QString& error);

// The program: reads the command line, starts the demo devices when asked,
// and runs the one window modally; the program ends with the window.
class CFirmwareWriterApp {
 public:
  CFirmwareWriterApp(int& argc, char** argv) : argc_(argc), argv_(argv) {}
  // 0 after a normal run, 1 when the window ended itself (no usable
  // interface), 64 on a bad command line.
  int InitInstance();

 private:
  int& argc_;
  char** argv_;
};

}  // namespace kesto::app
