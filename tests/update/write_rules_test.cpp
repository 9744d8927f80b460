#include "update/write_rules.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/format.h"

namespace kesto {
namespace {

DeviceRecord Device(int32_t kind, int32_t idValue) {
  DeviceRecord record;
  record.kind = kind;
  record.idValue = idValue;
  return record;
}

TEST(FilePrefixForKind, FollowsTheDeviceKind) {
  EXPECT_EQ(FilePrefixForKind(kKindWiFi), "KESTOWiFi");
  EXPECT_EQ(FilePrefixForKind(kKindWireless), "KS_N");
  EXPECT_EQ(FilePrefixForKind(kKindPq), "PQ");
  EXPECT_EQ(FilePrefixForKind(kKindBoard), "KS_N");
  for (const int32_t other : {kKindUnknown, 0, 1, 2, 4, 8, 255})
    EXPECT_EQ(FilePrefixForKind(other), "") << other;
}

TEST(IsRefusedForTmode, OnlyKinds5And7WithId15) {
  EXPECT_TRUE(IsRefusedForTmode(Device(kKindWireless, kTmodeIdValue)));
  EXPECT_TRUE(IsRefusedForTmode(Device(kKindBoard, kTmodeIdValue)));
  EXPECT_FALSE(IsRefusedForTmode(Device(kKindWiFi, kTmodeIdValue)));
  EXPECT_FALSE(IsRefusedForTmode(Device(kKindPq, kTmodeIdValue)));
  EXPECT_FALSE(IsRefusedForTmode(Device(kKindUnknown, kTmodeIdValue)));
  for (const int32_t id : {0, 1, 14, 16, -15}) {
    EXPECT_FALSE(IsRefusedForTmode(Device(kKindWireless, id))) << id;
    EXPECT_FALSE(IsRefusedForTmode(Device(kKindBoard, id))) << id;
  }
}

TEST(FileDialogFilter, OffersThePrefixAndInHiddenModeAllFiles) {
  EXPECT_EQ(FileDialogFilter("KS_N", false), "Firmware file (KS_N*.bin)|KS_N*.bin||");
  EXPECT_EQ(FileDialogFilter("KS_N", true),
            "Firmware file (KS_N*.bin)|KS_N*.bin|all files(*.*)|*.*||");
  EXPECT_EQ(FileDialogFilter("", false), "Firmware file (*.bin)|*.bin||");
  EXPECT_EQ(FileDialogFilter("", true), "Firmware file (*.bin)|*.bin|all files(*.*)|*.*||");
}

TEST(FileNameMatchesPrefix, ComparesTheNameCutToThePrefixExactly) {
  EXPECT_TRUE(FileNameMatchesPrefix("KS_N_v125.bin", "KS_N", false));
  EXPECT_TRUE(FileNameMatchesPrefix("KS_N", "KS_N", false));
  EXPECT_TRUE(FileNameMatchesPrefix("KESTOWiFi-2.bin", "KESTOWiFi", false));
  EXPECT_FALSE(FileNameMatchesPrefix("ks_n_v125.bin", "KS_N", false));  // letter case counts
  EXPECT_FALSE(FileNameMatchesPrefix("KS_n.bin", "KS_N", false));
  EXPECT_FALSE(FileNameMatchesPrefix("KS_", "KS_N", false));  // shorter than the prefix
  EXPECT_FALSE(FileNameMatchesPrefix("", "PQ", false));
  EXPECT_FALSE(FileNameMatchesPrefix("PX.bin", "PQ", false));
  EXPECT_FALSE(FileNameMatchesPrefix("xKS_N.bin", "KS_N", false));
  // Bytes beyond ASCII are compared as they are.
  EXPECT_FALSE(FileNameMatchesPrefix("\xef\xbc\xab\xef\xbc\xb3_N.bin", "KS_N", false));
  EXPECT_TRUE(FileNameMatchesPrefix("PQ\xe3\x81\x82.bin", "PQ", false));
}

TEST(FileNameMatchesPrefix, EmptyPrefixAndHiddenModeLetEveryNameThrough) {
  EXPECT_TRUE(FileNameMatchesPrefix("anything.bin", "", false));
  EXPECT_TRUE(FileNameMatchesPrefix("", "", false));
  EXPECT_TRUE(FileNameMatchesPrefix("ks_n.bin", "KS_N", true));
  EXPECT_TRUE(FileNameMatchesPrefix("", "KESTOWiFi", true));
}

TEST(FileNameMatchesPrefix, LooksAtTheNameNotTheFolder) {
  EXPECT_TRUE(FileNameMatchesPrefix("/home/op/fw/KS_N_v2.bin", "KS_N", false));
  EXPECT_FALSE(FileNameMatchesPrefix("/home/op/KS_N/other.bin", "KS_N", false));
}

TEST(WriteConfirmationText, NamesThePath) {
  EXPECT_EQ(WriteConfirmationText("/tmp/KS_N.bin"), "/tmp/KS_N.bin を書き込みます。");
  EXPECT_EQ(WriteConfirmationText("/tmp/100%s.bin"), "/tmp/100%s.bin を書き込みます。");
}

struct LogPieces {
  std::vector<std::string> pieces;
  std::function<void(std::string_view)> Hook() {
    return [this](std::string_view piece) { pieces.emplace_back(piece); };
  }
};

TEST(ProbeListenerPort, LogsEachStepOnALocalAddress) {
  LogPieces log;
  ASSERT_EQ(ProbeListenerPort("127.0.0.1", log.Hook()), 0);
  ASSERT_EQ(log.pieces.size(), 6u);
  EXPECT_EQ(log.pieces[0], "ok\r\n");
  EXPECT_EQ(log.pieces[1], "bind \"127.0.0.1\":");
  EXPECT_EQ(log.pieces[2], "ok\r\n");
  EXPECT_EQ(log.pieces[3], "getsockname :");
  const std::string& port = log.pieces[4];
  ASSERT_TRUE(port.starts_with("ok: localPort = ") && port.ends_with("\r\n")) << port;
  EXPECT_GT(std::atoi(port.c_str() + 16), 0);
  EXPECT_EQ(log.pieces[5], "listen :");
}

TEST(ProbeListenerPort, FailsWithTheErrorOfTheBind) {
  for (const char* address : {"192.0.2.1", "not an address", "", "127.0.0.1.5"}) {
    LogPieces log;
    EXPECT_LT(ProbeListenerPort(address, log.Hook()), 0) << address;
    ASSERT_EQ(log.pieces.size(), 3u) << address;
    EXPECT_EQ(log.pieces[0], "ok\r\n");
    EXPECT_EQ(log.pieces[1], Format("bind \"%s\":", address));
    EXPECT_EQ(log.pieces[2], Format("ERROR: %d\r\n", errors::kAddressNotAvailable));
  }
}

TEST(ProbeListenerPort, WorksWithoutALog) {
  EXPECT_EQ(ProbeListenerPort("127.0.0.1", {}), 0);
  EXPECT_LT(ProbeListenerPort("192.0.2.1", {}), 0);
}

}  // namespace
}  // namespace kesto
