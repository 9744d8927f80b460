#include "sim/device_protocol.h"

#include <gtest/gtest.h>

#include <string>

namespace kesto::sim {
namespace {

TEST(DeviceTexts, DumpPutsModelAndIdTwoCharactersBehindTheirWords) {
  DeviceConfig device;
  device.model = 17;
  device.id = 15;
  const std::string dump = DumpText(device);
  const size_t model = dump.find("MODEL");
  const size_t id = dump.find("ID");
  ASSERT_NE(model, std::string::npos);
  ASSERT_NE(id, std::string::npos);
  EXPECT_EQ(dump.substr(model + 7, 3), "17\r");
  EXPECT_EQ(dump.substr(id + 4, 3), "15\r");

  device.faults.dumpWithoutModel = true;
  device.faults.dumpWithoutId = true;
  const std::string bare = DumpText(device);
  EXPECT_EQ(bare.find("MODEL"), std::string::npos);
  EXPECT_EQ(bare.find("ID"), std::string::npos);  // not even inside another word
}

TEST(DeviceTexts, VerAndRssiFollowTheirFaults) {
  DeviceConfig device;
  device.sketchVersion = 125;
  device.textVersion = 3;
  device.rssi = -62;
  EXPECT_EQ(VerText(device), "SKETCH VER : 125\r\nTEXT VER : 3\r\n");
  EXPECT_EQ(RssiText(device), "RSSI : -62\r\n");
  device.faults.verWithoutCr = true;
  EXPECT_EQ(VerText(device), "SKETCH VER : 125\nTEXT VER : 3\n");
  device.faults.verWithoutCr = false;
  device.faults.verOneLineThenClose = true;
  EXPECT_EQ(VerText(device), "SKETCH VER : 125\r\n");
  device.faults.verWithoutKeys = true;
  EXPECT_EQ(VerText(device).find("VER"), std::string::npos);
  device.faults.rssiMissing = true;
  EXPECT_EQ(RssiText(device).find("RSSI : "), std::string::npos);
}

TEST(UpdateMessages, InvitationIsParsedStrictly) {
  const std::string md5 = "0123456789abcdef0123456789ABCDEF";
  const auto invitation = ParseInvitation("0 40123 3000 " + md5 + "\n");
  ASSERT_TRUE(invitation);
  EXPECT_EQ(invitation->port, 40123);
  EXPECT_EQ(invitation->size, 3000u);
  EXPECT_EQ(invitation->md5, "0123456789abcdef0123456789abcdef");

  for (const std::string& bad : {
           "0 40123 3000 " + md5,                   // no line feed
           "0 40123 3000 " + md5 + "\n\n",          // more after it
           "0 40123 3000 " + md5 + " x\n",          // a fifth field
           "100 40123 3000 " + md5 + "\n",          // another command
           "0 70000 3000 " + md5 + "\n",            // port out of range
           "0 40123 0 " + md5 + "\n",               // empty image
           "0 40123 -5 " + md5 + "\n",              // signed size
           "0  40123 3000 " + md5 + "\n",           // double blank
           "0 40123 3000 " + md5.substr(1) + "\n",  // 31 digits
           std::string("junk"),
       }) {
    EXPECT_FALSE(ParseInvitation(bad)) << bad;
  }
}

TEST(UpdateMessages, AuthenticationResponseIsTheDigestChain) {
  const std::string cnonce(32, 'c');
  const std::string response(32, 'e');
  const auto auth = ParseAuthMessage("200 " + cnonce + " " + response + "\n");
  ASSERT_TRUE(auth);
  EXPECT_EQ(auth->cnonce, cnonce);
  EXPECT_EQ(auth->response, response);
  EXPECT_FALSE(ParseAuthMessage("200 " + cnonce + " " + response));
  EXPECT_FALSE(ParseAuthMessage("201 " + cnonce + " " + response + "\n"));

  // md5(md5("PELICANUS") ":" nonce ":" cnonce), worked out independently.
  EXPECT_EQ(ExpectedAuthResponse("PELICANUS", std::string(32, 'a'), std::string(32, 'b')),
            "633acbfae9df045194e4332c9c367c43");
  const std::string nonce = NewNonce();
  EXPECT_EQ(nonce.size(), 32u);
  EXPECT_NE(nonce, NewNonce());
}

}  // namespace
}  // namespace kesto::sim
