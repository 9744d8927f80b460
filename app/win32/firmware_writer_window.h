#pragma once

#include "app/firmware_writer_dlg.h"

namespace kesto::app {

inline constexpr int kDialogTemplate = 102;
inline constexpr int kWindowIcon = 128;

// Runs the window of dialog template 102 (from this program's resources) on
// the calling thread until it ends: the core's result, -1 when it ended itself
// because there is no usable interface. Needs the common controls started.
int RunFirmwareWriterWindow(WindowSetup setup);

}  // namespace kesto::app
