#pragma once

// The demo's simulated devices, for programs that run them themselves (the
// screenshot, the tests); they link the simulator on their own.

#include <vector>

#include "sim/simulator.h"

namespace kesto::app {

std::vector<sim::DeviceConfig> DemoDevices();

}  // namespace kesto::app
