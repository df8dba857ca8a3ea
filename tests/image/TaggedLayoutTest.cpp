#include "image/tagged/TaggedLayout.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "common/Output.h"
#include "image/ImageReader.h"
#include "image/ImageSource.h"
#include "pack/PackFirmware.h"
#include "pack/PackTestSupport.h"
#include "support/TestSupport.h"
#include "unpack/UnpackFirmware.h"

namespace imgweld::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// The example board packed at the fixed moment, in a copy of its folder.
Bytes PackBoard(const TempDir& dir) {
  fs::copy(SourceDir() + "/examples/board", dir / "board", fs::copy_options::recursive);
  fs::create_directories(dir / "out");
  StringOutput out;
  if (!PackFirmware(dir / "board/setting.ini", dir / "out", out, FixedPackTime())) {
    return {};
  }
  return ReadBytes(dir / "out/Firmware.img");
}

// The layout is read as the example's configuration says it, and its text
// packs the same image again from the example's own files.
TEST(TaggedLayoutTest, PackedBoardReadsAsItsConfigurationAndPacksBackFromItsText) {
  TempDir dir;
  const Bytes packed = PackBoard(dir);
  ASSERT_FALSE(packed.empty());
  MemorySource source(packed);
  TaggedLayout layout;
  std::string why;
  ASSERT_TRUE(ReadTaggedLayout(ReadTaggedImage(source), layout, why)) << why;
  EXPECT_EQ(why, "");

  EXPECT_EQ(layout.version, 0x01020003u);
  EXPECT_EQ(layout.chip, "ZB10");
  EXPECT_EQ(layout.model, "imgweld demo board");
  EXPECT_EQ(layout.fillByte, 0xFF);
  EXPECT_TRUE(layout.backup);
  EXPECT_EQ(layout.date.year, 2024u);
  EXPECT_EQ(layout.date.month, 3u);
  EXPECT_EQ(layout.date.day, 5u);
  EXPECT_EQ(layout.date.hour, 14u);
  // Loader_Encrypt and IDB_Boot_Encrypt are on by default.
  EXPECT_FALSE(layout.boot.nano);
  EXPECT_FALSE(layout.boot.gap);
  EXPECT_TRUE(layout.boot.programsScrambled);
  EXPECT_TRUE(layout.boot.headerScrambled);
  EXPECT_EQ(layout.boot.ddrLength, fs::file_size(dir / "board/ddr.bin"));
  EXPECT_EQ(layout.boot.loaderLength, fs::file_size(dir / "board/loader.bin"));

  struct Expected {
    const char* name;
    TaggedPartitionKind kind;
    uint32_t offset, size, flag;
    const char* file;
  };
  const Expected expected[] = {
      {"IDBlock", TaggedPartitionKind::kBootBlock, 0x40, 0x80, 0, "flashdata.bin,flashboot.bin"},
      {"uboot", TaggedPartitionKind::kPartition, 0xC0, 0x40, 0, "uboot.img"},
      {"misc", TaggedPartitionKind::kPartition, 0x100, 0x20, 2, "misc.img"},
      {"boot", TaggedPartitionKind::kPartition, 0x120, 0x60, 0, "boot.img"},
      {"backup", TaggedPartitionKind::kPartition, 0x180, 0x40, 1, "backup.img"},
      // The growing last payload's size is lost, as the packer records it.
      {"rootfs", TaggedPartitionKind::kPartition, 0x1C0, 0xFFFFFFFF, 4, "rootfs.img"},
  };
  ASSERT_EQ(layout.partitions.size(), std::size(expected));
  std::map<uint32_t, std::string> files;
  for (size_t i = 0; i < std::size(expected); ++i) {
    const TaggedPartition& p = layout.partitions[i];
    const Expected& e = expected[i];
    SCOPED_TRACE(e.name);
    EXPECT_EQ(p.record, i + 1);
    EXPECT_EQ(p.name, e.name);
    EXPECT_EQ(p.kind, e.kind);
    EXPECT_EQ(p.type, i == 0 ? 2u : 8u);
    EXPECT_EQ(p.offset, e.offset);
    EXPECT_EQ(p.size, e.size);
    EXPECT_EQ(p.flag, e.flag);
    EXPECT_EQ(p.typeGuid, "");
    files[p.record] = e.file;
  }
  EXPECT_EQ(layout.partitions[1].dataLength, fs::file_size(dir / "board/uboot.img"));
  EXPECT_TRUE(ValidateTaggedLayout(layout).empty());

  // Packed from the files -U writes (the programs as stored, which the
  // text has deciphered), the text gives the same image; its Date key, not
  // the moment of packing, dates the header.
  const std::string text = TaggedLayoutConfig(layout, files);
  EXPECT_NE(text.find("\nDate=2024-03-05 14:"), std::string::npos) << text;
  fs::create_directories(dir / "parts");
  StringOutput out;
  ASSERT_TRUE(UnpackFirmware(dir / "out/Firmware.img", dir / "parts", true, out)) << out.Text();
  WriteText(dir / "parts/rebuilt.ini", text);
  fs::create_directories(dir / "again");
  std::tm otherTime{};
  otherTime.tm_year = 100;
  otherTime.tm_mday = 1;
  ASSERT_TRUE(PackFirmware(dir / "parts/rebuilt.ini", dir / "again", out, otherTime))
      << out.Text() << text;
  EXPECT_TRUE(ReadBytes(dir / "again/Firmware.img") == packed) << text;
}

// What no configuration carries is refused with the reason, and an
// untouched image is not.
TEST(TaggedLayoutTest, ImagesNoConfigurationCarriesAreRefusedSayingWhy) {
  TempDir dir;
  const Bytes packed = PackBoard(dir);
  ASSERT_FALSE(packed.empty());
  const struct {
    const char* what;
    size_t at;
    uint8_t byte;
    std::string why;
  } cases[] = {
      {"untouched", 0x29, 'Z', ""},
      {"a bell in the chip", 0x2A, 0x07, "the chip holds the control character 0x07"},
      // Record 3, misc, is filled: a data length there is data nothing writes.
      {"data of a filled partition", 0x200 + 3 * 128 + 0x2C, 1,
       "partition misc is skipped or filled but records data"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes image = packed;
    image.at(c.at) = c.byte;
    // Both checksums again, so that the image reads as sound.
    const uint32_t count = Le32(image, 0x20);
    const uint32_t table = RefCrc32Msb(std::span<const uint8_t>(image).subspan(0x200, count * 128));
    for (size_t i = 0; i < 4; ++i) image[0x1F8 + i] = static_cast<uint8_t>(table >> (8 * i));
    const uint32_t header = RefCrc32Msb(std::span<const uint8_t>(image).first(0x1FC));
    for (size_t i = 0; i < 4; ++i) image[0x1FC + i] = static_cast<uint8_t>(header >> (8 * i));
    MemorySource source(image);
    TaggedImageFacts facts = ReadTaggedImage(source);
    // The backup block is not resealed: only its check fails, and it is
    // left out so that the change alone is judged.
    std::erase_if(facts.checks,
                  [](const Check& check) { return check.status == CheckStatus::kBad; });
    TaggedLayout layout;
    std::string why;
    EXPECT_EQ(ReadTaggedLayout(facts, layout, why), c.why.empty());
    EXPECT_EQ(why, c.why);
  }
}

// The sectors each partition writes are held to the form's limits: a later
// boot block writes nothing, so it meets nothing.
TEST(TaggedLayoutTest, ValidationTakesTheSectorsThePackerWrites) {
  const auto part = [](TaggedPartitionKind kind, uint32_t offset, uint32_t size) {
    TaggedPartition p;
    p.kind = kind;
    p.offset = offset;
    p.size = size;
    return p;
  };
  TaggedLayout layout;
  layout.partitions = {part(TaggedPartitionKind::kBootBlock, 0x40, 0x80),
                       part(TaggedPartitionKind::kLaterBootBlock, 0x40, 0x80),
                       part(TaggedPartitionKind::kPartition, 0xB0, 0x20)};
  const std::vector<LayoutProblem> problems = ValidateTaggedLayout(layout);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].rule, LayoutRule::kOverlap);
  EXPECT_EQ(problems[0].partition, 2u);
  EXPECT_EQ(problems[0].other, 0u);
  // A partition on the vendor area.
  layout.partitions = {part(TaggedPartitionKind::kPartition, 0x20, 0x10)};
  const std::vector<LayoutProblem> reserved = ValidateTaggedLayout(layout);
  ASSERT_EQ(reserved.size(), 1u);
  EXPECT_EQ(reserved[0].rule, LayoutRule::kReservedArea);
}

}  // namespace
}  // namespace imgweld::test
