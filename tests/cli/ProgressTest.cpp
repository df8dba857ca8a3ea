// The progress line: drawn and cleared on a terminal, never in a pipe or a
// log, and never on standard output.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/Progress.h"
#include "support/TestSupport.h"

namespace imgweld {
namespace {

namespace fs = std::filesystem;

std::string Quote(const std::string& text) { return "'" + text + "'"; }

class ProgressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_.Path() / "out");
    fs::create_directories(dir_.Path() / "parts");
  }
  // The run under a pseudo-terminal; everything it wrote, both streams.
  test::RunResult OnTerminal(const std::string& args) {
    return test::RunShell("cd " + Quote(dir_.Path().string()) + " && script -q -e -c " +
                          Quote(test::ImgweldExe() + " " + args) + " /dev/null");
  }
  test::TempDir dir_;
  const std::string config_ = test::SourceDir() + "/examples/board/setting.ini";
};

TEST_F(ProgressTest, TerminalShowsTheLineAndClearsIt) {
  const test::RunResult packed = OnTerminal("-P " + Quote(config_) + " out");
  ASSERT_EQ(packed.exitCode, 0) << packed.output;
  const std::string& text = packed.output;
  const size_t done = text.find("imgweld: writing out/Firmware.img: 252.0 KiB of 252.0 KiB (100%)");
  ASSERT_NE(done, std::string::npos) << text;
  // Erased before the next line of standard output and at the end.
  EXPECT_NE(text.find("\r\033[K", done), std::string::npos) << text;
  EXPECT_NE(text.find("Generating firmware OK."), std::string::npos) << text;

  const test::RunResult unpacked = OnTerminal("-U out/Firmware.img parts");
  ASSERT_EQ(unpacked.exitCode, 0) << unpacked.output;
  EXPECT_NE(
      unpacked.output.find("imgweld: verifying out/Firmware.img: 252.0 KiB of 252.0 KiB (100%)"),
      std::string::npos)
      << unpacked.output;
}

TEST_F(ProgressTest, PipesGetNoProgressLine) {
  const test::RunResult packed =
      test::RunShell("cd " + Quote(dir_.Path().string()) + " && " + test::ImgweldExe() + " -P " +
                     Quote(config_) + " out 2>err.txt");
  ASSERT_EQ(packed.exitCode, 0) << packed.output;
  EXPECT_EQ(packed.output.find("imgweld:"), std::string::npos);
  EXPECT_EQ(test::ReadText(dir_ / "err.txt"), "");
}

TEST(ProgressLine, ShowsDoneTotalPercentAndRate) {
  EXPECT_EQ(Progress::Line("writing a", 512 << 20, uint64_t{1} << 30, 2.0),
            "imgweld: writing a: 512.0 MiB of 1.0 GiB (50%), 256.0 MiB/s");
  EXPECT_EQ(Progress::Line("x", 0, 0, 0), "imgweld: x: 0 B of 0 B (100%), 0 B/s");
  EXPECT_EQ(Progress::Line("x", 300, 200, 1), "imgweld: x: 300 B of 200 B (100%), 300 B/s");
}

}  // namespace
}  // namespace imgweld
