// Writes against the simulator, one per fault group of its update receiver,
// each device as a kesto-sim --device text so a failing case can be rerun.
#include <gtest/gtest.h>

#include <string>

#include "sim/simulator.h"
#include "support/test_support.h"

namespace kesto {
namespace {

using namespace kesto::testing;

sim::DeviceConfig Spec(const std::string& text) {
  std::string error;
  const auto device = sim::ParseDeviceSpec(text, &error);
  EXPECT_TRUE(device) << text << ": " << error;
  if (!device) return {};
  const std::string written = sim::DeviceSpecText(*device);  // reads back as the same device
  EXPECT_EQ(sim::DeviceSpecText(sim::ParseDeviceSpec(written).value_or(sim::DeviceConfig{})),
            written);
  return *device;
}

TEST(Simulator, SpecsRefuseBadInput) {
  for (const char* bad : {"fault=dripMs:600001", "fault=dripMs:+5", "fault=dripMs: 5x",
                          "rssi=-2147483649", "fault=resetShortBytes:0", "fault=infoHang:1",
                          "fault=seed", "fault=nope", "kind=", "address=1.2.3", "mac=02-00"})
    EXPECT_FALSE(sim::ParseDeviceSpec(bad)) << bad;
  EXPECT_EQ(sim::ParseDeviceSpec("rssi=-2147483648,fault=seed:4294967295")->faults.seed,
            UINT32_MAX);
}

TEST(Simulator, WritesAgainstEachFaultOfTheUpdateReceiver) {
  struct Case {
    const char* spec;
    size_t size;
    WriteResult result;
    WriteCause cause = WriteCause::kNone;
    Authentication authentication = Authentication::kUnknown;  // kUnknown: not checked
  };
  using A = Authentication;
  using C = WriteCause;
  const WriteResult refused = WriteResult::kDeviceError;
  for (const Case& c : {
           Case{"", 3000, WriteResult::kSuccess},
           Case{"password=PELICANUS,fault=answerFromOtherPort", 3000, WriteResult::kSuccess,
                C::kNone, A::kMd5},
           Case{"password=PELICANUS,auth=sha256", 3000, WriteResult::kSuccess, C::kNone,
                A::kSha256},
           Case{"password=PELICANUS,auth=sha256-md5hash", 3000, WriteResult::kSuccess, C::kNone,
                A::kSha256Md5},
           Case{"password=WRONG", 1024, refused, C::kPasswordRefused, A::kMd5},
           Case{"password=WRONG,auth=sha256", 1024, refused, C::kPasswordRefused, A::kSha256Md5},
           Case{"password=WRONG,auth=sha256-md5hash", 1024, refused, C::kPasswordRefused,
                A::kSha256Md5},
           Case{"fault=magicByte", 8192, refused, C::kImageRefused},
           Case{"fault=magicByte", 2000, refused, C::kFinalWords},
           Case{"fault=answerOnlyInvitation:2", 1024, WriteResult::kSuccess},
           Case{"fault=strangerFirst", 3000, WriteResult::kSuccess},
           Case{"fault=ackPieceSize:100", 3000, WriteResult::kSuccess},
           Case{"fault=splitAcks", 3000, WriteResult::kSuccess},
           Case{"fault=finalGluedToAck", 1025, WriteResult::kSuccess},
           Case{"fault=updateNoAnswer", 1024, refused, C::kNoAnswer},
           Case{"password=PELICANUS,fault=rejectAuth", 1024, refused, C::kPasswordRefused},
           Case{"fault=neverConnect", 1024, WriteResult::kNoConnection, C::kNeverConnected},
           Case{"fault=finalError", 1024, refused, C::kFinalWords},
           Case{"fault=closeShortBytes:952", 3000, WriteResult::kNetworkError, C::kTransferBroken},
           Case{"fault=resetShortBytes:1500", 5000, WriteResult::kNetworkError, C::kTransferBroken},
           Case{"fault=answerFromStranger", 3000, refused, C::kNoAnswer},
       }) {
    SCOPED_TRACE(c.spec);
    const sim::Ports ports = NextTestPorts();
    sim::Simulator simulator({Spec("address=127.0.0.3" + std::string(*c.spec ? "," : "") + c.spec)},
                             ports);
    ASSERT_EQ(simulator.Start(), 0);
    TempDir dir;
    const std::string image = PatternBytes(c.size, 77);
    UpdateRequest request;
    request.deviceAddress = "127.0.0.3";
    request.localAddress = "127.0.0.1";
    request.devicePort = ports.update;
    request.image = Prepared(dir.Write("KS_N_sim.bin", image));
    UpdateLimits limits = TestLimits();
    limits.answerWaitMs = 300;
    limits.connectWaitMs = limits.stallMs = 1000;
    const Outcome outcome = RunWrite(request, limits);
    EXPECT_EQ(outcome.end.result, c.result) << outcome.log;
    EXPECT_EQ(outcome.end.cause, c.cause);
    if (c.authentication != A::kUnknown) {
      EXPECT_EQ(outcome.end.authentication, c.authentication);
    }
    if (std::string(c.spec) == "fault=magicByte") {
      EXPECT_EQ(outcome.end.deviceWords, "Wrong Magic Byte");
    }
    EXPECT_EQ(simulator.StrangerConnections(), 0);
    if (c.result != WriteResult::kSuccess) continue;
    ASSERT_TRUE(simulator.WaitForSessions(0, 1, 2000));
    const sim::UpdateSession session = simulator.Sessions(0).back();
    EXPECT_TRUE(session.complete && session.accepted);
    EXPECT_EQ(session.image, std::vector<uint8_t>(image.begin(), image.end()));
  }
}

}  // namespace
}  // namespace kesto
