#include "image/ImageReader.h"

#include <gtest/gtest.h>

#include "common/Output.h"
#include "pack/PackFirmware.h"
#include "pack/PackTestSupport.h"
#include "support/TestSupport.h"

namespace imgweld::test {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes PackExample(const std::string& example) {
  TempDir dir;
  StringOutput out;
  EXPECT_TRUE(PackFirmware(SourceDir() + "/examples/" + example + "/setting.ini",
                           dir.Path().string(), out, FixedPackTime()))
      << out.Text();
  return ReadBytes(dir / "Firmware.img");
}

// An image cut anywhere is still read (as far as it goes) and is never taken
// for a whole one.
TEST(ImageReaderTest, ImagesCutShortAreNeverWhole) {
  for (const char* example : {"board", "nano-board", "gpt-board"}) {
    SCOPED_TRACE(example);
    const Bytes image = PackExample(example);
    for (size_t length = 0; length <= image.size(); length += length < 2048 ? 1 : 509) {
      MemorySource source{std::span<const uint8_t>(image).first(length)};
      const ImageKind kind = IdentifyImage(source);
      if (kind == ImageKind::kOther) {
        EXPECT_LT(length, 1024u) << length;
        continue;
      }
      const std::vector<Check> checks =
          kind == ImageKind::kTagged ? ReadTaggedImage(source).checks : ReadGptImage(source).checks;
      EXPECT_FALSE(AllChecksHold(checks)) << length;
    }
    MemorySource whole(image);
    const ImageKind kind = IdentifyImage(whole);
    const std::vector<Check> checks =
        kind == ImageKind::kTagged ? ReadTaggedImage(whole).checks : ReadGptImage(whole).checks;
    EXPECT_TRUE(AllChecksHold(checks));
  }
}

TEST(ImageReaderTest, KindsAreToldByTheirFirstBytes) {
  const auto kind = [](const Bytes& bytes) {
    MemorySource source(bytes);
    return IdentifyImage(source);
  };
  EXPECT_EQ(kind({'Z', 'V', 'F', 'P'}), ImageKind::kTagged);
  EXPECT_EQ(kind({'Z', 'V', 'F'}), ImageKind::kOther);
  Bytes disk(1024, 0);
  disk[450] = 0xEE;
  disk[510] = 0x55;
  disk[511] = 0xAA;
  const std::string signature = "EFI PART";
  std::copy(signature.begin(), signature.end(), disk.begin() + 512);
  EXPECT_EQ(kind(disk), ImageKind::kGpt);
  disk[450] = 0x83;  // an ordinary MBR partition
  EXPECT_EQ(kind(disk), ImageKind::kOther);
}

// Reads outside the source are refused before anything is read, also where
// offset plus length would wrap.
TEST(ImageReaderTest, ReadsOutsideTheSourceAreRefused) {
  const Bytes bytes = RandomBytes(100, 1);
  MemorySource source(bytes);
  Bytes out(10, 0xAA);
  EXPECT_TRUE(source.Read(90, out));
  EXPECT_EQ(out, Bytes(bytes.begin() + 90, bytes.end()));
  EXPECT_FALSE(source.Read(91, out));
  EXPECT_EQ(out, Bytes(10, 0));
  EXPECT_FALSE(source.Read(~uint64_t{0} - 4, out));
  EXPECT_FALSE(source.Contains(~uint64_t{0}, 2));
  EXPECT_EQ(AllBytesEqual(source, 0, 101, 0), std::nullopt);
  EXPECT_EQ(RangesEqual(source, 0, 50, 51), std::nullopt);
  EXPECT_EQ(RangesEqual(source, 0, 0, 100), true);
}

}  // namespace
}  // namespace imgweld::test
