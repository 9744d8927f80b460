// Device list files as spreadsheets and editors leave them.
#include <gtest/gtest.h>

#include "cli/device_list.h"

namespace kesto::cli {
namespace {

TEST(DeviceList, TakesAddressesAndNamesTheFirstBadLine) {
  std::vector<std::string> devices{"127.0.0.9"};
  std::string problem;
  ASSERT_TRUE(ParseDeviceList("# hall 3\r\n 10.0.0.2\t# press\r\n\r\n10.0.0.1\r\n10.0.0.2", devices,
                              problem));
  EXPECT_EQ(devices, (std::vector<std::string>{"127.0.0.9", "10.0.0.2", "10.0.0.1", "10.0.0.2"}));
  for (const char* bad :
       {"10.0.0.1\n\n10.0.0.256\n", "10.0.0.1\n\n10.0.0.1 10.0.0.2\n", "10.0.0.1\n\n10.0.0.1;\n"}) {
    devices.clear();
    EXPECT_FALSE(ParseDeviceList(bad, devices, problem)) << bad;
    EXPECT_TRUE(devices.empty()) << bad;
    EXPECT_EQ(problem.rfind("line 3: ", 0), 0u) << problem;
  }
}

}  // namespace
}  // namespace kesto::cli
