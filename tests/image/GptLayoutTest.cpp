#include "image/gpt/GptLayout.h"

#include <gtest/gtest.h>

#include "cli/InspectTestSupport.h"
#include "common/Output.h"
#include "image/ImageReader.h"
#include "pack/PackFirmware.h"
#include "pack/PackTestSupport.h"
#include "support/TestSupport.h"

namespace imgweld::test {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint64_t kSector = 512;
constexpr uint64_t kDataStart = 34 * kSector;  // after MBR, header and array
constexpr uint64_t kPayloadLength = 10000;
const std::string kDiskGuid = "11111111-2222-3333-4444-555555555555";
const std::string kLinux = "0FC63DAF-8483-4772-8E79-3D69D8477DE4";
const std::string kUniques[] = {
    "A1000000-0000-0000-0000-000000000001", "A1000000-0000-0000-0000-000000000002",
    "A1000000-0000-0000-0000-000000000003", "A1000000-0000-0000-0000-000000000004"};

// One partition of the test configuration, and how it reads back.
struct Part {
  std::string name;
  uint32_t type;
  uint32_t offset;
  uint32_t size;
  uint32_t flag;
  std::string file;
  GptContent content;
  std::string unique;
};

// A boot block, a payload, a skipped partition and a fill that ends the
// image. A skipped area the compact image's cursor has not passed reads as
// a fill as well (the bytes are the same), so there the skipped one comes
// after the fill, whose area reaches past it.
std::vector<Part> Parts(bool compact) {
  std::vector<Part> parts = {
      {"IDBlock", 2, 0x40, 0x80, 0, "ddr.bin,loader.bin", GptContent::kBootBlock,
       "A1000000-0000-0000-0000-000000000001"},
      {"data", 8, 0xC0, 0x40, 0, "data.img", GptContent::kPayload,
       "A1000000-0000-0000-0000-000000000002"},
      {"spare", 8, 0x100, 0x20, 1, "", GptContent::kSkipped,
       "A1000000-0000-0000-0000-000000000003"},
      {"misc", 8, 0x120, 0x20, 2, "", GptContent::kFilled, "A1000000-0000-0000-0000-000000000004"}};
  if (compact) std::swap(parts[2], parts[3]);
  return parts;
}

// Every GUID given, so that packing it again gives the same bytes.
std::string Config(bool compact) {
  std::string text =
      "[System]\nFwVersion=1.0.0\nChip=ZB10\nModel=m\nFILL_BYTE=0x5A\nNano=0\nBLANK_GAP=0\n"
      "Loader_Encrypt=1\nIDB_Boot_Encrypt=0\n";
  text += compact ? "Gpt_Enable=1\n" : "Gpt_Enable=0\nBackup_Partition_Enable=1\n";
  text += "Disk_Guid=" + kDiskGuid + "\n[PARTITION_TYPE_GUID]\nlinux=" + kLinux + "\n";
  int number = 0;
  for (const Part& part : Parts(compact)) {
    text += PartSection(++number, part.name, Format("0x%X", part.type), Format("0x%X", part.offset),
                        Format("0x%X", part.size), std::to_string(part.flag), part.file) +
            "Type_Guid=linux\nUnique_Guid=" + part.unique + "\n";
  }
  return text;
}

// Packs `config` in `dir`, beside the files written there; the image, or
// nothing when refused.
Bytes PackIn(const std::string& config, const TempDir& dir) {
  WriteText(dir / "setting.ini", config);
  const TempDir out;
  StringOutput messages;
  if (!PackFirmware(dir / "setting.ini", out.Path().string(), messages, FixedPackTime())) return {};
  return ReadBytes(out / "Firmware.img");
}

// Packs `config` beside the boot programs and payload it names.
Bytes Pack(const std::string& config, const TempDir& dir) {
  WriteBytes(dir / "ddr.bin", ReadBytes(SourceDir() + "/examples/gpt-board/ddr.bin"));
  WriteBytes(dir / "loader.bin", ReadBytes(SourceDir() + "/examples/gpt-board/loader.bin"));
  WriteBytes(dir / "data.img", RandomBytes(kPayloadLength, 7));
  return PackIn(config, dir);
}

// The files a kit holds: each data extent's bytes, cut from the image.
void WriteLayoutFiles(const GptLayout& layout, const Bytes& image, const TempDir& dir) {
  for (const GptLayoutPartition& p : layout.partitions) {
    const std::string programs[] = {"ddr.bin", "loader.bin"};
    for (size_t i = 0; i < p.data.size(); ++i) {
      const PayloadExtent& extent = p.data[i];
      ASSERT_LE(extent.byteOffset + extent.length, image.size());
      const std::string file = p.content == GptContent::kBootBlock ? programs[i] : "data.img";
      WriteBytes(dir / file, Slice(image, extent.byteOffset, extent.length));
    }
  }
}

Guid GuidOf(const std::string& text) {
  Guid guid{};
  EXPECT_TRUE(ParseGuidText(text, guid)) << text;
  return guid;
}

void ExpectExtent(const PayloadExtent& extent, uint64_t at, uint64_t length) {
  EXPECT_EQ(extent.byteOffset, at);
  EXPECT_EQ(extent.length, length);
  EXPECT_FALSE(extent.gapped);
}

// The layout read from an image -P made says what its configuration said,
// and the configuration written from it packs the same bytes again.
TEST(GptLayoutTest, ReadsAndWritesBackWhatPackingMade) {
  for (const bool compact : {false, true}) {
    SCOPED_TRACE(compact ? "compact" : "padded");
    const TempDir dir;
    const Bytes image = Pack(Config(compact), dir);
    ASSERT_FALSE(image.empty());
    MemorySource source(image);
    GptLayout layout;
    std::string why;
    ASSERT_TRUE(ReadGptLayout(source, ReadGptImage(source), layout, why)) << why;

    EXPECT_EQ(layout.compact, compact);
    EXPECT_EQ(layout.backup, !compact);
    EXPECT_EQ(layout.fillByte, 0x5A);
    EXPECT_EQ(layout.diskGuid, GuidOf(kDiskGuid));
    EXPECT_FALSE(layout.foreign);
    ASSERT_TRUE(layout.boot.has_value());
    EXPECT_FALSE(layout.boot->nano);
    EXPECT_FALSE(layout.boot->gap);
    EXPECT_TRUE(layout.boot->programsScrambled);
    EXPECT_FALSE(layout.boot->scrambleSectors);
    const std::vector<Part> parts = Parts(compact);
    ASSERT_EQ(layout.partitions.size(), parts.size());
    std::vector<std::string> files;
    for (size_t i = 0; i < parts.size(); ++i) {
      const GptLayoutPartition& p = layout.partitions[i];
      SCOPED_TRACE(parts[i].name);
      EXPECT_EQ(p.entry, i);
      EXPECT_EQ(p.name, parts[i].name);
      EXPECT_EQ(p.type, parts[i].type);
      EXPECT_EQ(p.offset, parts[i].offset);
      EXPECT_EQ(p.size, parts[i].size);
      EXPECT_EQ(p.flag, parts[i].flag);
      EXPECT_EQ(p.content, parts[i].content);
      EXPECT_EQ(p.typeGuid, GuidOf(kLinux));
      EXPECT_EQ(p.uniqueGuid, GuidOf(parts[i].unique));
      // The header's own record of each payload's length, at byte 114 of
      // sector 1.
      EXPECT_EQ(p.payloadLength, Le64(image, kSector + 114 + 8 * i));
      if (p.content == GptContent::kFilled || p.content == GptContent::kSkipped) {
        EXPECT_TRUE(p.data.empty());
      }
      files.push_back(parts[i].file);
    }
    // Padded, each payload lies at its sectors; compact, they follow the
    // array back to back. The boot programs follow the block's four control
    // sectors, each taking whole sectors: 2000 bytes take 4, 6000 take 12.
    const uint64_t boot = compact ? kDataStart : 0x40 * kSector;
    const uint64_t data =
        compact ? kDataStart + layout.partitions[0].payloadLength : 0xC0 * kSector;
    ASSERT_EQ(layout.partitions[0].data.size(), 2u);
    ExpectExtent(layout.partitions[0].data[0], boot + 4 * kSector, 4 * kSector);
    ExpectExtent(layout.partitions[0].data[1], boot + 8 * kSector, 12 * kSector);
    ASSERT_EQ(layout.partitions[1].data.size(), 1u);
    ExpectExtent(layout.partitions[1].data[0], data, kPayloadLength);
    EXPECT_TRUE(ValidateGptLayout(layout).empty());

    const TempDir again;
    WriteLayoutFiles(layout, image, again);
    EXPECT_EQ(PackIn(GptLayoutConfig(layout, files), again), image);
  }
}

GptLayoutPartition Part(uint32_t offset, uint32_t size, uint32_t flag = 0,
                        uint64_t payloadLength = 0) {
  GptLayoutPartition p;
  p.offset = offset;
  p.size = size;
  p.flag = flag;
  p.payloadLength = payloadLength;
  return p;
}

GptLayout LayoutOf(std::vector<GptLayoutPartition> partitions, bool compact = false,
                   bool backup = false) {
  GptLayout layout;
  layout.compact = compact;
  layout.backup = backup;
  layout.partitions = std::move(partitions);
  return layout;
}

TEST(GptLayoutTest, DiskEndFollowsTheLastPartitionOfTheListUnlessOpen) {
  const std::vector<GptLayoutPartition> two = {Part(0x40, 0x400), Part(0x2000, 0x1000)};
  EXPECT_EQ(GptDiskEnd(LayoutOf(two)), 0x3021u);
  EXPECT_EQ(GptDiskEnd(LayoutOf(two, true)), kOpenDiskEnd);
  EXPECT_EQ(GptDiskEnd(LayoutOf({})), kOpenDiskEnd);
  // List order counts, not sector order.
  EXPECT_EQ(GptDiskEnd(LayoutOf({Part(0x2000, 0x1000), Part(0x40, 0x400)})), 0x440u + 33);
  EXPECT_EQ(GptDiskEnd(LayoutOf({Part(0x40, 0x400), Part(0x2000, 0, PART_FLAG_GROW)})),
            kOpenDiskEnd);
  // Only the last partition's flag matters.
  EXPECT_EQ(GptDiskEnd(LayoutOf({Part(0x40, 0x400, PART_FLAG_GROW), Part(0x2000, 0x10)})),
            0x2010u + 33);
  // No 32-bit wrap: the sum stays a sector count.
  EXPECT_EQ(GptDiskEnd(LayoutOf({Part(0xFFFFFF00, 0x200)})), 0x100000100ull + 33);
}

// The rules the plan of a layout breaks besides placement, each found at
// the partition at fault: the problems' rules and partitions in order.
TEST(GptLayoutTest, ValidatesSizesBackupRoomCompactOrderAndLength) {
  constexpr uint32_t kGrow = PART_FLAG_GROW;
  constexpr uint32_t kFill = PART_FLAG_FILL;
  constexpr uint32_t kSkip = PART_FLAG_SKIP;
  constexpr uint64_t k4GiBSectors = uint64_t{1} << 23;
  using Found = std::vector<std::pair<LayoutRule, size_t>>;
  struct Case {
    const char* what;
    GptLayout layout;
    Found expected;
  };
  GptLayoutPartition unmeasured = Part(0x40, 0x10);
  unmeasured.type = PART_TYPE_IDBLOCK;
  unmeasured.payloadLength = 0xFFFFFFFF;
  unmeasured.measured = false;
  const Case cases[] = {
      {"size 0 but a growing last one",
       LayoutOf({Part(0x40, 0), Part(0x80, 0x10), Part(0x90, 0, kGrow)}),
       {{LayoutRule::kEmptyArea, 0}}},
      {"a growing partition not last has no size of its own",
       LayoutOf({Part(0x40, 0, kGrow, 512), Part(0x80, 0x10)}),
       {{LayoutRule::kEmptyArea, 0}}},
      {"an overlap; the backup after the last partition meets no one",
       LayoutOf({Part(0x40, 0xC0), Part(0xF0, 0x10)}, false, true),
       {{LayoutRule::kOverlap, 1}}},
      {"an earlier entry placed past the last one lies on the backup",
       LayoutOf({Part(0x100, 0x20), Part(0x40, 0x10)}, false, true),
       {{LayoutRule::kBackupArea, 0}}},
      {"the same without a backup GPT", LayoutOf({Part(0x100, 0x20), Part(0x40, 0x10)}), {}},
      {"a disk whose backup header ends right below 4 GiB",
       LayoutOf({Part(0x40, 0x10), Part(k4GiBSectors - 1 - 33 - 0x10, 0x10)}, false, true),
       {}},
      {"one sector more reaches it, and the last sector a partition may take",
       LayoutOf({Part(0x40, 0x10), Part(k4GiBSectors - 33 - 0x10, 0x10)}, false, true),
       {{LayoutRule::kPastLimit, 1}, {LayoutRule::kImageTooLong, 1}}},
      {"compact: a fill ending before the data ahead of it",
       LayoutOf({Part(0x40, 0x10, 0, 0x40 * 512), Part(0x50, 0x10, kFill)}, true),
       {{LayoutRule::kFillBehind, 1}}},
      {"compact: a fill ending right at the data ahead",
       LayoutOf({Part(0x40, 0x10, 0, 0x40 * 512), Part(0x40, 0x22, kFill)}, true),
       {}},
      {"compact: skipped data is not written",
       LayoutOf({Part(0x40, 0x10, kSkip, 0x40 * 512), Part(0x40, 0x10, kFill)}, true),
       {}},
      {"compact: the data passes 4 GiB",
       LayoutOf({Part(0x40, 0x10, 0, 0xFFFF0000), Part(0x50, 0x10, 0, 0x10000)}, true),
       {{LayoutRule::kImageTooLong, 1}}},
      {"compact: a boot block not measured ends the walk",
       LayoutOf({unmeasured, Part(0x50, 0x10, kFill)}, true),
       {}},
      {"compact: its entries place nothing",
       LayoutOf({Part(0x40, 0x20), Part(0x50, 0x20)}, true),
       {}},
  };
  for (const Case& c : cases) {
    Found found;
    for (const LayoutProblem& problem : ValidateGptLayout(c.layout)) {
      found.emplace_back(problem.rule, problem.partition);
    }
    EXPECT_EQ(found, c.expected) << c.what;
  }
}

// The placement problems are those of the sectors each partition writes,
// last sector included: a payload its whole area, a partition of no
// sectors none; the compact layout's entries place no data.
TEST(GptLayoutTest, ValidatesThePaddedPlacement) {
  GptLayout layout;
  const std::pair<uint32_t, uint32_t> placed[] = {
      {0x40, 0x20}, {0x60, 0x20}, {0x7F, 0x10}, {0x40, 0}};
  for (const auto& [offset, size] : placed) {
    layout.partitions.push_back({});
    layout.partitions.back().offset = offset;
    layout.partitions.back().size = size;
  }
  const std::vector<LayoutProblem> problems = ValidateGptLayout(layout);
  // A size of 0 is a problem of its own, the entry's.
  ASSERT_EQ(problems.size(), 2u);
  EXPECT_EQ(problems[0].rule, LayoutRule::kEmptyArea);
  EXPECT_EQ(problems[0].partition, 3u);
  EXPECT_EQ(problems[1].rule, LayoutRule::kOverlap);
  EXPECT_EQ(problems[1].partition, 2u);
  EXPECT_EQ(problems[1].other, 1u);
  layout.compact = true;
  ASSERT_EQ(ValidateGptLayout(layout).size(), 1u);
  EXPECT_EQ(ValidateGptLayout(layout)[0].rule, LayoutRule::kEmptyArea);
}

// A compact image one byte short leaves no choice of fills that makes up
// its length.
TEST(GptLayoutTest, RefusesACompactImageCutShort) {
  const TempDir dir;
  const Bytes image = Pack(Config(true), dir);
  ASSERT_FALSE(image.empty());
  MemorySource source(std::span<const uint8_t>(image).first(image.size() - 1));
  GptLayout layout;
  std::string why;
  EXPECT_FALSE(ReadGptLayout(source, ReadGptImage(source), layout, why));
  EXPECT_EQ(why, "its payloads and fill partitions do not make up its length");
}

// An entry in use past the header's partition count was never written by
// the packer: the reader fails it, and no layout is read that would leave
// it out of the kit. Its sectors lie inside the image and its bytes are
// the fill byte, so nothing else about the layout is amiss.
TEST(GptLayoutTest, RefusesAnEntryPastThePartitionCount) {
  const TempDir dir;
  Bytes image = Pack(Config(false), dir);
  ASSERT_FALSE(image.empty());
  const size_t entry = 1024 + 4 * 128;           // entry 4, the first past the count of 4
  std::fill_n(image.begin() + entry, 16, 0xA5);  // a type GUID
  // The sectors of the fill partition, 64-bit first and last LBA.
  for (size_t i = 0; i < 8; ++i) {
    image[entry + 32 + i] = static_cast<uint8_t>(uint64_t{0x120} >> (8 * i));
    image[entry + 40 + i] = static_cast<uint8_t>(uint64_t{0x13F} >> (8 * i));
  }
  SealPrimaryGpt(image);
  MemorySource source(image);
  const GptImageFacts facts = ReadGptImage(source);
  ASSERT_EQ(facts.header.partitionCount, 4u);
  ASSERT_TRUE(HasProblem(facts.checks, GptRule::kUncountedEntry, 4));
  GptLayout layout;
  std::string why;
  EXPECT_FALSE(ReadGptLayout(source, facts, layout, why));
  EXPECT_EQ(why, "its partition array holds entries the header does not count");
}

}  // namespace
}  // namespace imgweld::test
