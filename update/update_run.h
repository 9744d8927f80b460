#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "discovery/device_ports.h"
#include "update/listener.h"
#include "update/prepared_image.h"
#include "update/result.h"

namespace kesto {

class StopSignal;

inline constexpr const char* kUpdatePassword = "PELICANUS";
inline constexpr size_t kChunkSize = 1024;

struct UpdateRequest {
  std::string deviceAddress;  // dotted quad
  std::string localAddress;   // dotted quad; the listener and the invitation bind here
  uint16_t listenerPort = 0;  // 0: the system chooses; else a fixed port a firewall rule can name
  uint16_t devicePort = kUpdatePort;
  std::string password = kUpdatePassword;
  PreparedImage image;  // as the preflight found it
};

struct UpdateLimits {
  int answerWaitMs = 3000;  // per invitation answer, and for the MD5 challenge's reply
  int attempts = 3;         // invitations sent at most
  int connectWaitMs = 5000;
  // On the connection, each of these within this long or ETIMEDOUT: sending
  // a chunk, its acknowledgement, the whole final answer.
  int stallMs = 10000;
  // The SHA-256 challenge's reply: the device runs 10,000 PBKDF2 rounds first.
  int sha256ReplyWaitMs = 10000;
  // Invitations sent at most for the second try of a SHA-256 challenge. With
  // the defaults a device silent to both tries ends within 9 + 10 + 6 + 10 s.
  int reinvitations = 2;
};

// Where a run is, for a display that follows it: each phase is entered at
// most once, in this order, and a run may end in any of them.
enum class UpdatePhase {
  kInvitation,        // the invitation is being sent, answers awaited
  kAuthentication,    // the device asked for the password
  kWaitingForDevice,  // the device is to connect back to the listener
  kTransfer,          // chunks are being sent; progress follows
  kFinalAnswer,       // the whole image is sent; the device's verdict is awaited
};

struct UpdateHooks {
  // One log piece, without an added line break.
  std::function<void(std::string_view)> log;
  // Progress 0..100 after each acknowledged chunk.
  std::function<void(int)> progress;
  std::function<void(UpdatePhase)> phase;
  const StopSignal* stop = nullptr;
};

// Writes one firmware image into one device with the ArduinoOTA protocol.
// Never throws; every wait is bounded by the limits or ends when hooks.stop
// fires (kCancelled). Only the device's address is heard: datagrams and
// connections from other hosts are dropped. The image is not examined again:
// its size and digest are announced as prepared, and success needs the
// device's consent and the bytes sent to match that digest. listener, when
// open, is one the caller opened on request.localAddress before (so that no
// other program can take its port meanwhile): the run invites the device to
// it and closes it at the end; else the run opens its own.
[[nodiscard]] WriteOutcome RunUpdate(const UpdateRequest& request, const UpdateHooks& hooks,
                                     const UpdateLimits& limits = {}, Listener listener = {});

}  // namespace kesto
