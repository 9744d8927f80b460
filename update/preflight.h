#pragma once

// The checks before a write, made by the window and by kesto-fw alike, so
// that both refuse the same things for the same reasons before anything is
// sent to a device: the listener the device connects back to, the device's
// state, the file's name for the device's kind, and the image itself.

#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>

#include <tl/expected.hpp>

#include "discovery/device_table.h"
#include "update/listener.h"
#include "update/prepared_image.h"

namespace kesto {

enum class PreflightCheck {
  kPassed,
  kListener,  // no listener on the local address (a firewall, a taken --host-port)
  kTmode,     // the device is in TMODE
  kFileName,  // the file's name does not begin with the kind's prefix
  kImage,     // not a regular, readable, non-empty file of a size the protocol carries
};

struct PreflightResult {
  PreflightCheck failed = PreflightCheck::kPassed;
  int systemError = 0;  // the system's number where a system call failed, else 0
  // kImage: what is wrong with the file, in the operator's words;
  // kFileName: the prefix the name should begin with.
  std::string reason;

  bool passed() const { return failed == PreflightCheck::kPassed; }
};

// A listener that could not be opened (OpenListener), as a refusal.
PreflightResult ListenerRefused(const std::error_code& error);

// A board or wireless device in TMODE is not written.
PreflightResult CheckDevice(const DeviceRecord& record);

// The file's name (without its folder) must begin with the prefix of the
// device's kind, byte for byte; relaxed (the hidden mode) lets any name pass.
PreflightResult CheckFileName(const DeviceRecord& record, std::string_view path, bool relaxed);

// The image must be a regular, readable, non-empty file, small enough for
// the protocol's signed 32-bit size. Its path, size and digest, for the
// write to take as they are; or the refusal (kImage).
[[nodiscard]] tl::expected<PreparedImage, PreflightResult> PrepareImage(const std::string& path);

}  // namespace kesto
