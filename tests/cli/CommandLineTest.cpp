// Black-box tests of the command line: they run the built executable and
// compare its standard output byte for byte and its exit code.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/TestSupport.h"

namespace imgweld {
namespace {

const std::string kBanner =
    "\r\n----------------Imgweld v1.38--------------------\r\n"
    "Packing:\t\t-P <config file> <saving dir>\r\n"
    "UnPacking:\t-U <firmware> <output dir> [offcheck]\r\n"
    "-------------------------------------------------------\r\n"
    "\r\n";

TEST(CommandLine, WrongArgumentCountPrintsBannerAndExitsZero) {
  const std::vector<std::vector<std::string>> argLists = {
      {}, {"-P"}, {"-P", "cfg.ini"}, {"-U", "a", "b", "c", "d"}, {"-x"}};
  for (const auto& args : argLists) {
    const test::RunResult result = test::RunImgweld(args);
    EXPECT_EQ(result.exitCode, 0) << args.size();
    EXPECT_EQ(result.output, kBanner) << args.size();
  }
}

TEST(CommandLine, UnknownCommandWordIsRejectedWithoutTouchingPaths) {
  test::TempDir dir;
  for (const char* word : {"-x", "-q", "-PX", "P", "-u2", ""}) {
    const test::RunResult result = test::RunImgweld({word, "missing.ini", "out"}, dir.Path());
    EXPECT_EQ(result.exitCode, 2) << word;
    EXPECT_EQ(result.output, "command is invalid!\r\n") << word;
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

TEST(CommandLine, CommandWordIsCaseInsensitive) {
  test::TempDir dir;
  // A missing configuration makes the packer fail with exit 3 in either case.
  for (const char* word : {"-P", "-p"}) {
    const test::RunResult result = test::RunImgweld({word, "missing.ini", "."}, dir.Path());
    EXPECT_EQ(result.exitCode, 3) << word;
    EXPECT_EQ(result.output, "Packing Error:loading missing.ini failed!\r\n") << word;
  }
  // A fourth argument to -P is ignored.
  const test::RunResult extra = test::RunImgweld({"-P", "missing.ini", ".", "extra"}, dir.Path());
  EXPECT_EQ(extra.exitCode, 3);
  EXPECT_EQ(extra.output, "Packing Error:loading missing.ini failed!\r\n");
}

TEST(CommandLine, UnpackFailureExitsFour) {
  test::TempDir dir;
  for (const char* word : {"-U", "-u"}) {
    const test::RunResult result = test::RunImgweld({word, "missing.img", "."}, dir.Path());
    EXPECT_EQ(result.exitCode, 4) << word;
    EXPECT_EQ(result.output.rfind("Start to unpack firmware...\r\n", 0), 0u) << result.output;
  }
}

}  // namespace
}  // namespace imgweld
