#include <gtest/gtest.h>

#include <string>

#include "sim/simulator.h"

namespace kesto::sim {
namespace {

TEST(DeviceSpec, ReadsEveryKeyAndFault) {
  std::string error;
  const auto device = ParseDeviceSpec(
      "address=127.0.0.3, kind=W,mac=02-00-00-00-00-07,sketch=125,text=3,model=17,id=2,"
      "rssi=-58,password=PELICANUS,fault=infoHang,fault=replyDelayMs:200,fault=replyLength:31,"
      "fault=stallAfterBytes:0",
      &error);
  ASSERT_TRUE(device) << error;
  EXPECT_EQ(device->address, "127.0.0.3");
  EXPECT_EQ(device->kindLetter, 'W');
  EXPECT_EQ(device->hardwareAddress, (std::array<uint8_t, 6>{2, 0, 0, 0, 0, 7}));
  EXPECT_EQ(device->sketchVersion, 125);
  EXPECT_EQ(device->textVersion, 3);
  EXPECT_EQ(device->model, 17);
  EXPECT_EQ(device->id, 2);
  EXPECT_EQ(device->rssi, -58);
  EXPECT_EQ(device->password, "PELICANUS");
  EXPECT_TRUE(device->faults.infoHang);
  EXPECT_FALSE(device->faults.replyTwice);
  EXPECT_EQ(device->faults.replyDelayMs, 200);
  EXPECT_EQ(device->faults.replyLength, 31u);
  EXPECT_EQ(device->faults.stallAfterBytes, 0);
}

TEST(DeviceSpec, EmptySpecGivesTheDefaultDevice) {
  const auto device = ParseDeviceSpec("");
  ASSERT_TRUE(device);
  EXPECT_EQ(device->address, DeviceConfig{}.address);
  EXPECT_EQ(device->faults.replyLength, 30u);
}

TEST(DeviceSpec, RefusesBadInputWithAReason) {
  struct Case {
    const char* spec;
    const char* reason;
  };
  const Case cases[] = {
      {"colour=red", "unknown key 'colour'"},
      {"address=127.0.0.256", "bad address"},
      {"address=localhost", "bad address"},
      {"mac=02-00-00-00-00", "bad MAC"},
      {"mac=02-00-00-00-00-0g", "bad MAC"},
      {"sketch=12x", "bad number '12x' for sketch"},
      {"id=", "bad number"},
      {"rssi=99999999999", "bad number"},
      {"kind=BL", "bad kind"},
      {"fault=wobbly", "unknown fault 'wobbly'"},
      {"fault=infoHang:3", "takes no number"},
      {"fault=replyDelayMs", "needs a number"},
      {"fault=replyDelayMs:-5", "bad number"},
      {"address", "not key=value"},
      {"kind=B,,id=2", "empty item"},
      {"kind=B,", "empty item"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(ParseDeviceSpec(c.spec, &error)) << c.spec;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.spec << " gave: " << error;
  }
}

}  // namespace
}  // namespace kesto::sim
