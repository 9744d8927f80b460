#include <gtest/gtest.h>

#include "cli/options.h"

namespace kesto::cli {
namespace {

std::optional<Options> Parse(std::vector<std::string> args, std::string* error = nullptr) {
  std::string reason;
  auto options = ParseOptions(args, reason);
  if (error) *error = reason;
  return options;
}

TEST(CliOptions, WriteTakesDeviceFlagsAndOneFile) {
  const auto options = Parse({"write", "--device", "127.0.0.2", "--yes", "--any-file", "KS_N.bin",
                              "--update-port", "4000"});
  ASSERT_TRUE(options);
  EXPECT_EQ(options->command, Command::kWrite);
  EXPECT_EQ(options->deviceAddress, "127.0.0.2");
  EXPECT_EQ(options->firmwarePath, "KS_N.bin");
  EXPECT_TRUE(options->yes);
  EXPECT_TRUE(options->anyFile);
  EXPECT_FALSE(options->verbose);
  EXPECT_EQ(options->updatePort, 4000);
}

TEST(CliOptions, RejectsWhatWouldBeAmbiguousOrUnsafe) {
  std::string error;
  EXPECT_FALSE(Parse({}, &error));
  EXPECT_FALSE(Parse({"flash"}, &error));
  EXPECT_FALSE(Parse({"write", "KS_N.bin"}, &error));  // no device
  EXPECT_NE(error.find("--device"), std::string::npos);
  EXPECT_FALSE(Parse({"write", "--device", "127.0.0.2", "a.bin", "b.bin"}, &error));
  EXPECT_FALSE(
      Parse({"write", "--device", "kesto.local", "a.bin"}, &error));  // names are not resolved
  EXPECT_FALSE(Parse({"search", "--interface", "1.2.3"}, &error));
  EXPECT_FALSE(Parse({"search", "--interface"}, &error));
  EXPECT_FALSE(Parse({"search", "--yes"}, &error));  // write-only flag
  EXPECT_FALSE(Parse({"search", "--query-port", "70000"}, &error));
  EXPECT_FALSE(Parse({"search", "--query-port", "0"}, &error));
  EXPECT_FALSE(Parse({"search", "--query-port", "12x"}, &error));
  EXPECT_FALSE(Parse({"interfaces", "extra"}, &error));
}

TEST(CliOptions, HelpWinsAnywhere) {
  const auto options = Parse({"write", "--help"});
  ASSERT_TRUE(options);
  EXPECT_EQ(options->command, Command::kHelp);
}

}  // namespace
}  // namespace kesto::cli
