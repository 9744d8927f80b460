#pragma once

// Use from a test: sim::Simulator sim({config}, kesto::testing::NextTestPorts());
// ASSERT_EQ(sim.Start(), 0); then talk to 127.0.0.k on those ports and read the
// observations (Sessions, Invitations, ...); the destructor stops everything.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "discovery/device_ports.h"

namespace kesto::sim {

// Fault switches of one simulated device. All off by default.
struct DeviceFaults {
  // Discovery responder (UDP).
  bool noDiscoveryReply = false;
  // Silent to broadcasts (another subnet, client isolation), yet answers a
  // request sent to its own address.
  bool noBroadcastReply = false;
  bool replyTwice = false;
  size_t replyLength = 30;  // 31 gives an over-long reply; fewer a short one
  int replyDelayMs = 0;     // wait before replying (fixes the order of replies)

  // Information service (TCP).
  bool verWithoutKeys = false;
  bool verWithoutCr = false;  // lines end with LF only
  bool verOneLineThenClose = false;
  bool dumpWithoutModel = false;
  bool dumpWithoutId = false;
  bool infoHang = false;     // accepts, then neither answers nor closes
  bool rssiMissing = false;  // RSSI line without the key

  // Update receiver (UDP invitation, TCP transfer).
  bool updateNoAnswer = false;
  int answerOnlyInvitation = 0;  // answer only the Nth invitation (1-based); 0 = every one
  int busyInvitations = 0;       // answer the first N invitations "ERR" (busy), then as usual
  bool junkAnswer = false;       // answers the invitation with "ERR"
  bool rejectAuth = false;       // "Authentication Failed" even for the right response
  bool noAuthReply = false;
  int connectDelayMs = 0;  // connect back this late
  bool neverConnect = false;
  long stallAfterBytes = -1;  // stop reading and acknowledging after this many bytes
  bool closeInsteadOfFinal = false;
  // Before the device, a stranger connects to the listener from another loopback
  // address (last byte 200); it counts in StrangerConnections when sent bytes.
  bool strangerFirst = false;
  bool finalError = false;  // "MD5 Check Failed\r\n" instead of "OK"
  // An image whose first byte is not 0xE9 is refused once 4 KiB arrived (a
  // full flash sector): "Wrong Magic Byte" and "\r\n" in place of the count,
  // then the device closes. A smaller one gets those words as its final answer.
  bool magicByte = false;
  // (An image whose MD5 does not match the invitation gets that answer anyway.)
  int ackDelayMs = 0;  // wait before each acknowledgement (a slower network)
  // After taking an image, the device restarts: no discovery answer and no
  // information service for this long.
  int restartMs = 0;

  // Hostile behaviour. Every random choice comes from seed, so a run with the
  // same seed (and the same requests) makes the same choices again.
  uint32_t seed = 0;
  bool randomDiscoveryReply = false;  // random bytes of random length (0..64)
  bool randomInfoReply = false;       // VER, DUMP and RSSI: mangled or random text, any length
  bool randomAnswer = false;          // invitation answer: random, "OK"/"AUTH" with junk, too long
  bool randomAuthReply = false;       // likewise for the authentication reply
  bool randomAcks = false;            // random bytes (never "OK") instead of the counts
  bool randomFinal = false;           // random bytes instead of "OK" (sometimes around an "OK")
  int dripMs = 0;  // TCP replies (information, acknowledgements, final answer) one byte per dripMs
  bool infoReset = false;              // the information reply is cut by a reset part way
  bool discoveryFromStranger = false;  // the discovery reply comes from another address
  bool answerFromOtherPort = false;    // the update receiver answers from a second port
  // A stranger at the neighbouring address (last byte 200) answers the invitation
  // "OK" and, if let in, takes the image; the device itself stays silent.
  bool answerFromStranger = false;
  long resetShortBytes = 0;  // >0: reset (no orderly close) this many bytes before the end
  long closeShortBytes = 0;  // >0: orderly close, without a word, this many bytes before the end
  size_t ackPieceSize = 0;   // >0: read and acknowledge in pieces of at most this many bytes
  bool splitAcks = false;    // each acknowledgement one byte per send, a moment apart
  bool finalGluedToAck = false;    // the last acknowledgement and "OK" in one send
  int floodReplies = 0;            // extra discovery replies to each request
  int floodIntervalMs = 1;         // between two of them
  bool floodFromPhantoms = false;  // each from another address (127.77.x.y) with nothing behind it
};

// How the update receiver checks a password: a 32-digit nonce and MD5, or
// (ESP32 core 3.3.1 and later) a 64-digit nonce and PBKDF2-HMAC-SHA256 over
// the SHA-256 of the password, or over its MD5 when the firmware set it so.
enum class AuthScheme { kMd5, kSha256, kSha256Md5Hash };

struct DeviceConfig {
  std::string address = "127.0.0.2";  // the device's own IPv4 address
  char kindLetter = 'B';
  std::array<uint8_t, 6> hardwareAddress{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
  int sketchVersion = 125;
  int sketchAfterWrite = 0;  // >0: the sketch version it reports once it took an image
  int textVersion = 3;
  int model = 0;
  int id = 1;
  int rssi = 0;          // answered as "RSSI : <rssi>\r\n"
  std::string password;  // empty: the update receiver asks no authentication
  AuthScheme auth = AuthScheme::kMd5;
  DeviceFaults faults;
};

// A device whose hardware address ends in serial (02-00-00-00-00-<serial>).
DeviceConfig MakeDevice(std::string address, char kindLetter, uint8_t serial, int sketchVersion,
                        int model, int id);

// The most devices a fleet holds: a full device table of the writer.
inline constexpr size_t kMaxFleetSize = 256;

// count (at most kMaxFleetSize) well-behaved devices at 127.0.1.2 and up:
// kinds B, L, T and W in turn, with model ids and versions of their kind, the
// hardware address 02-00-00-00-<i / 256>-<i % 256>; the WiFi ones report a
// signal strength.
std::vector<DeviceConfig> FleetDevices(size_t count);

using Ports = DevicePorts;

// "address=127.0.0.3,kind=W,mac=02-00-00-00-00-07,sketch=125,text=3,model=17,id=2,
//  rssi=-58,password=PELICANUS,auth=sha256,fault=infoHang,fault=replyDelayMs:200"
// Returns nullopt (and a reason in error) on bad input.
std::optional<DeviceConfig> ParseDeviceSpec(std::string_view spec, std::string* error = nullptr);
// The text that ParseDeviceSpec reads back into the same device (commas in a
// password aside), so that a device a test made can be started by hand.
std::string DeviceSpecText(const DeviceConfig& device);
// One fault switch: fault=name for an on/off one, fault=name:N for a number
// within [low, high]. Printed when it differs from a default device, or when
// shown says so.
struct FaultSwitch {
  const char* name;
  std::variant<bool DeviceFaults::*, int DeviceFaults::*, long DeviceFaults::*,
               size_t DeviceFaults::*, uint32_t DeviceFaults::*>
      field;
  long long low = 0;
  long long high = 0;
  bool (*shown)(const DeviceFaults&) = nullptr;
};
const std::vector<FaultSwitch>& FaultSwitches();
// The fault switches that are on, as "name" or "name:N".
std::vector<std::string> FaultNames(const DeviceFaults& faults);
// The help's list of switches, from the same table.
std::string FaultHelpText();

// What the update receiver saw of one write session. A session ends, and is
// recorded, when the transfer ends (before the final answer is sent), when the
// authentication is refused or left unanswered, or at once with neverConnect.
struct UpdateSession {
  std::string deviceAddress;
  std::vector<uint8_t> image;  // bytes received over TCP
  bool complete = false;       // all announced bytes arrived
  bool md5Matched = false;
  bool accepted = false;                  // the device took the image as its new firmware
  std::vector<std::string> authMessages;  // raw authentication datagrams received
};

// Timing of the hostile devices, so that a test can scale them to its limits.
struct HostileTiming {
  int dripMs = 1000;       // one byte a second
  int floodReplies = 300;  // more than the writer's table holds
  int floodIntervalMs = 1;
};

// count devices at 127.0.0.firstHost and up, each with a mix of hostile faults
// drawn from seed (the same seed gives the same devices). About one in four
// behaves well, so that a search and a write still have something to find.
std::vector<DeviceConfig> HostileDevices(uint32_t seed, size_t count, int firstHost = 2,
                                         const HostileTiming& timing = {});

// Stands in for one or many devices. On loopback, one process hosts many
// devices at 127.0.0.k without root.
class Simulator {
 public:
  // loopbackOnly: answer only requests from 127.0.0.0/8.
  Simulator(std::vector<DeviceConfig> devices, Ports ports = {}, bool loopbackOnly = true);
  ~Simulator();  // stops and joins every thread
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Called, from any of the simulator's threads, with one line for each
  // invitation ("invitation ADDR port P") and each finished session
  // ("session ADDR bytes N accepted 0|1"). Set before Start.
  void SetReport(std::function<void(const std::string&)> report);
  // Called with every session as it is recorded, on the simulator's thread
  // and before the device's final answer goes out. Set before Start.
  void OnSession(std::function<void(size_t device, const UpdateSession& session)> observer);

  // Binds every service. 0, or the error of the first failure (nothing left running).
  // Raises the process's soft limit of open descriptors when many devices need it.
  int Start();
  void Stop();

  // Observations for tests (thread-safe).
  int DiscoveryRequests() const;
  int Invitations(size_t device) const;
  std::vector<UpdateSession> Sessions(size_t device) const;  // finished sessions, oldest first
  int StrangerConnections() const;  // connections the stranger got accepted
  // Waits, at most timeoutMs, until device has at least count finished sessions.
  bool WaitForSessions(size_t device, size_t count, int timeoutMs) const;
  // Waits, at most timeoutMs, until the client has read count information
  // answers of device and closed their connections.
  bool WaitForInfoAnswersTaken(size_t device, int count, int timeoutMs) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kesto::sim
