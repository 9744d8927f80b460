#pragma once

#include <string>

#include "platform/format.h"

namespace kesto {

// "Version 1.03" for 1.0.3.0: one point after the major number, the other
// numbers run together; the revision only when it is not 0.
inline std::string VersionText(int major, int minor, int build, int revision) {
  return revision != 0 ? Format("Version %d.%d%d%d", major, minor, build, revision)
                       : Format("Version %d.%d%d", major, minor, build);
}

}  // namespace kesto
