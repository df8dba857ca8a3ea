// An image read once renders every listing and then the verification
// exactly as "-L" and "-V" print them when each reads the file for itself:
// the value the readers fill holds all that any mode shows, and no
// rendering changes it for the next.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "common/Output.h"
#include "image/ImageReader.h"
#include "image/ImageSource.h"
#include "inspect/ListCommand.h"
#include "inspect/VerifyCommand.h"
#include "pack/PackFirmware.h"
#include "pack/PackTestSupport.h"
#include "support/TestSupport.h"

namespace imgweld::test {
namespace {

namespace fs = std::filesystem;

struct Printed {
  int exitCode;
  std::string text;
  std::string diagnostics;
};

Printed RunArgs(const std::vector<const char*>& argv) {
  StringOutput out;
  const int code = RunCommandLine(static_cast<int>(argv.size()), argv.data(), out);
  return {code, out.Text(), out.Diagnostics()};
}

std::string PackExample(const TempDir& dir, const std::string& example) {
  const std::string to = dir / example;
  fs::create_directories(to);
  StringOutput out;
  EXPECT_TRUE(
      PackFirmware(SourceDir() + "/examples/" + example + "/setting.ini", to, out, FixedPackTime()))
      << out.Text();
  return to + "/Firmware.img";
}

TEST(ReadOnceTest, OneReadingRendersWhatEachCommandPrints) {
  TempDir dir;
  const std::string tagged = PackExample(dir, "board");
  std::vector<uint8_t> damagedBytes = ReadBytes(tagged);
  damagedBytes[0x1FC] ^= 0xFF;  // the header checksum
  const std::string damaged = dir / "damaged.img";
  WriteBytes(damaged, damagedBytes);
  const std::string gpt = PackExample(dir, "gpt-board");
  const std::string other = dir / "other.bin";
  WriteBytes(other, RandomBytes(4096, 7));

  const struct {
    ListMode mode;
    const char* word;
  } kModes[] = {{ListMode::kText, "text"}, {ListMode::kJson, "json"}, {ListMode::kIni, "ini"}};

  for (const std::string& path : {tagged, damaged, gpt, other}) {
    SCOPED_TRACE(path);
    const std::vector<uint8_t> bytes = ReadBytes(path);
    MemorySource source(bytes);
    const ImageReading reading = ReadImage(source);

    for (const auto& [mode, word] : kModes) {
      SCOPED_TRACE(word);
      const Printed expected = RunArgs({"imgweld", "-L", path.c_str(), word});
      StringOutput out;
      const bool listed = ListImage(source, reading, path, mode, out);
      EXPECT_EQ(out.Text(), expected.text);
      EXPECT_EQ(out.Diagnostics(), expected.diagnostics);
      EXPECT_EQ(listed, expected.exitCode == 0);
    }

    // "-V" adds the hash file's check to a tagged image's, which widens the
    // columns: the image's own checks are held to the entry point that
    // reads the image for itself.
    MemorySource fresh(bytes);
    StringOutput expected;
    const bool expectedClean = VerifyImage(fresh, path, expected);
    StringOutput out;
    const bool verified = VerifyImage(reading, path, out);
    EXPECT_EQ(out.Text(), expected.Text());
    EXPECT_EQ(out.Diagnostics(), expected.Diagnostics());
    EXPECT_EQ(verified, expectedClean);
  }
}

}  // namespace
}  // namespace imgweld::test
