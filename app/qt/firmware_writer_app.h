#pragma once

namespace kesto::app {

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
