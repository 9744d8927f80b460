#include "update/write_rules.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "app/operator_texts.h"
#include "platform/errors.h"
#include "platform/format.h"
#include "update/listener.h"

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

TEST(OperatorTexts, ConfirmationAndOutcomes) {
  EXPECT_EQ(WriteConfirmationText("/tmp/100%s.bin"), "/tmp/100%s.bin を書き込みます。");
  EXPECT_EQ(WriteConfirmationText("/tmp/KS_N.bin", "127.0.0.2 / 00-..."),
            "/tmp/KS_N.bin を書き込みます。\n127.0.0.2 / 00-...");
  EXPECT_EQ(ResultMessage({WriteResult::kDeviceError, 0}), "KESTO通信エラー");
  // A system error 1..4 is a network error with its words, never a result code.
  EXPECT_EQ(ResultMessage(NetworkFailure(EPERM)),
            Format("ネットワークエラー:%d (%s)", EPERM, SystemErrorText(EPERM).c_str()));
  EXPECT_EQ(NetworkFailure(errors::kCanceled).result, WriteResult::kCancelled);
  EXPECT_NE(ResultMessage(NetworkFailure(errors::kCanceled)).find("中止"), std::string::npos);
}

std::function<void(std::string_view)> Collect(std::vector<std::string>& pieces) {
  return [&pieces](std::string_view piece) { pieces.emplace_back(piece); };
}

TEST(ProbeListenerPort, LogsEachStepAndHonoursAFixedPort) {
  std::vector<std::string> log;
  ASSERT_EQ(ProbeListenerPort("127.0.0.1", 0, Collect(log)), 0);
  ASSERT_EQ(log.size(), 6u);
  EXPECT_EQ(log[1], "bind \"127.0.0.1\":");
  EXPECT_GT(std::atoi(log[4].c_str() + 16), 0);
  EXPECT_EQ(log[5], "listen :");

  Listener held;
  ASSERT_EQ(OpenListener("127.0.0.1", 0, {}, held), 0);
  log.clear();
  EXPECT_EQ(ProbeListenerPort("127.0.0.1", held.port, Collect(log)), errors::kAddressInUse);
  EXPECT_EQ(log.back(), Format("ERROR: %d\r\n", errors::kAddressInUse));
  const uint16_t port = held.port;
  held.socket.Close();
  log.clear();
  EXPECT_EQ(ProbeListenerPort("127.0.0.1", port, Collect(log)), 0);
  EXPECT_EQ(log[4], Format("ok: localPort = %d\r\n", port));
}

TEST(ProbeListenerPort, FailsWithTheErrorOfTheBind) {
  for (const char* address : {"192.0.2.1", "not an address", "", "127.0.0.1.5"}) {
    std::vector<std::string> log;
    EXPECT_EQ(ProbeListenerPort(address, 0, Collect(log)), errors::kAddressNotAvailable) << address;
    EXPECT_EQ(log,
              (std::vector<std::string>{"ok\r\n", Format("bind \"%s\":", address),
                                        Format("ERROR: %d\r\n", errors::kAddressNotAvailable)}));
  }
  EXPECT_NE(ProbeListenerPort("192.0.2.1", 0, {}), 0);
}

}  // namespace
}  // namespace kesto
