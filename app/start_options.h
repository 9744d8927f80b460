#pragma once

// The window program's command line, the same for every front end.

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace kesto::app {

struct StartOptions {
  bool demo = false;      // simulated devices on loopback, sample images
  uint16_t hostPort = 0;  // the listener's fixed port; 0: the system chooses
};

// The program ends before its window: help and version with status 0 and the
// text for standard output, a bad option with 64 and the text for standard
// error. A front end without a console shows the text instead.
struct StartEnding {
  int status = 0;
  std::string text;
};

inline constexpr int kUsageError = 64;

// The arguments after the program name (UTF-8); versionText is what
// --version shows after the application's name.
std::variant<StartOptions, StartEnding> ParseStartOptions(const std::vector<std::string>& arguments,
                                                          const std::string& versionText);

}  // namespace kesto::app
