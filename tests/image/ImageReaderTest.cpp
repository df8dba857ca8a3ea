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

void Put32(Bytes& bytes, size_t at, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// The image length counts whole sectors: an image whose growing last
// partition ends inside a sector, unpadded, is whole too.
TEST(ImageReaderTest, ALastPartitionEndingInsideASectorIsWhole) {
  TempDir dir;
  WriteBytes(dir / "ddr.bin", RandomBytes(100, 1));
  WriteBytes(dir / "loader.bin", RandomBytes(100, 2));
  WriteBytes(dir / "tail.bin", RandomBytes(1001, 3));
  WriteText(dir / "setting.ini",
            "[System]\nFwVersion=1\nLoader_Encrypt=0\n" +
                PartSection(1, "IDBlock", "2", "0x40", "0x40", "0", "ddr.bin,loader.bin") +
                PartSection(2, "tail", "8", "0x80", "0", "4", "tail.bin"));
  StringOutput out;
  ASSERT_TRUE(PackFirmware(dir / "setting.ini", dir.Path().string(), out, FixedPackTime()));
  Bytes image = ReadBytes(dir / "Firmware.img");
  ASSERT_EQ(image.size(), (0x80 + 2) * 512u);  // padded to the sector's end
  // As an image would be without the padding: 1001 bytes into the last
  // sector, which the header does not count.
  image.resize(0x80 * 512 + 1001);
  Put32(image, 0x18, 0x81);
  Put32(image, 0x24, 0x81 * 512);
  Put32(image, 0x1FC, RefCrc32Msb(std::span<const uint8_t>(image).first(0x1FC)));
  MemorySource source(image);
  const TaggedImageFacts facts = ReadTaggedImage(source);
  EXPECT_TRUE(AllChecksHold(facts.checks));
  EXPECT_EQ(facts.checks[3].detail, "66048 bytes in whole sectors, the file 66537");
  image.resize(image.size() + 511);
  MemorySource longer(image);
  EXPECT_FALSE(AllChecksHold(ReadTaggedImage(longer).checks));
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
  EXPECT_EQ(CompareToFill(source, 0, 101, 0), ByteMatch::kNotMade);
  EXPECT_EQ(CompareRanges(source, 0, 50, 51), ByteMatch::kNotMade);
  EXPECT_EQ(CompareRanges(source, 0, 0, 100), ByteMatch::kEqual);
}

}  // namespace
}  // namespace imgweld::test
