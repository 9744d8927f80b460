#include "app/window_rules.h"

#include "kesto/version.h"
#include "platform/format.h"

namespace kesto::app {

std::string ProgramVersionText() {
  return VersionText(kVersionMajor, kVersionMinor, kVersionBuild, kVersionRevision);
}

int AdvanceHiddenMode(int counter, int key) {
  if (counter == 3 && key == kHiddenKeys[0]) counter = 2;
  if (counter == 2 && key == kHiddenKeys[1]) counter = 1;
  if (counter == 1 && key == kHiddenKeys[2]) counter = 0;
  return counter;
}

}  // namespace kesto::app
