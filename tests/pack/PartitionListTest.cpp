#include <gtest/gtest.h>

#include "image/FirmwareImage.h"
#include "pack/PackTestSupport.h"
#include "pack/PartitionList.h"
#include "support/TestSupport.h"

namespace imgweld::test {
namespace {

TEST(SplitText, PiecesBetweenSeparators) {
  using Pieces = std::vector<std::string>;
  EXPECT_EQ(SplitText("1.2.3", "."), (Pieces{"1", "2", "3"}));
  EXPECT_EQ(SplitText("1.2.", "."), (Pieces{"1", "2"}));
  EXPECT_EQ(SplitText("1..3", "."), (Pieces{"1", "", "3"}));
  EXPECT_EQ(SplitText(".", "."), (Pieces{""}));
  EXPECT_EQ(SplitText("", "."), Pieces{});
}

TEST(ReadFwVersion, PiecesAreShiftedIntoTheirFields) {
  const struct {
    std::string value;
    uint32_t version;
  } cases[] = {
      {"1.2.3", 0x01020003},   {"2", 0x02000000},     {"1.2", 0x01020000},
      {"1.2.3.4", 0x01020003}, {"0.256", 0x01000000},  // 256 spills into the major part
      {"1x.2", 0x01020000},
  };
  for (const auto& c : cases) {
    ConfigDocument document;
    ParseConfig(document, "[System]\nFwVersion=" + c.value + "\n");
    FirmwareHeader header;
    ASSERT_TRUE(ReadFwVersion(document, header)) << c.value;
    EXPECT_EQ(header.version, c.version) << c.value;
  }
  ConfigDocument empty;
  ParseConfig(empty, "[System]\nFwVersion=\n");
  FirmwareHeader header;
  EXPECT_FALSE(ReadFwVersion(empty, header));
}

TEST(ReadChipAndModel, CopiedAndZeroPaddedOrCut) {
  ConfigDocument document;
  ParseConfig(document, "[System]\nChip=AB\nModel=" + std::string(40, 'm') + "\n");
  FirmwareHeader header;
  header.chip = {9, 9, 9, 9};
  ASSERT_TRUE(ReadChip(document, header));
  EXPECT_EQ(header.chip, (std::array<uint8_t, 4>{'A', 'B', 0, 0}));
  ASSERT_TRUE(ReadModel(document, header));
  EXPECT_EQ(Text(header.model, 0, 32), std::string(32, 'm'));

  ConfigDocument six;
  ParseConfig(six, "[System]\nChip=ABCDEF\n");
  ASSERT_TRUE(ReadChip(six, header));
  EXPECT_EQ(Text(header.chip, 0, 4), "ABCD");
  ASSERT_TRUE(ReadModel(six, header));  // absent Model is not an error
  EXPECT_TRUE(AllBytesAre(header.model, 0, 32, 0));

  ConfigDocument noSystem;
  ParseConfig(noSystem, "[Other]\nChip=AB\n");
  EXPECT_FALSE(ReadChip(noSystem, header));
  EXPECT_FALSE(ReadModel(noSystem, header));
  EXPECT_FALSE(ReadFwVersion(noSystem, header));
}

class PartitionListTest : public ::testing::Test {
 protected:
  bool Read(const std::string& config) {
    ParseConfig(document_, config);
    options_ = ResolvePackOptions(document_, dir_.Path().string());
    return ReadPartitionList(document_, context_, partitions_);
  }

  TempDir dir_;
  ConfigDocument document_;
  StringOutput out_;
  PackOptions options_;
  PackContext context_{options_, out_};
  std::vector<PartitionEntry> partitions_;
};

TEST_F(PartitionListTest, ReadsFieldsInBaseZeroAndStopsAtTheFirstMissingNumber) {
  WriteBytes(dir_ / "boot.img", RandomBytes(1234, 1));
  WriteBytes(dir_ / "sys.img", RandomBytes(10, 2));
  ASSERT_TRUE(Read(PartSection(1, "boot", "0x5", "0x2000", "0x8000", "0", "boot.img") +
                   "Type_Guid=rootfs\n" +
                   PartSection(2, std::string(40, 'n'), "5", "020000", "8192", "2", "") +
                   PartSection(4, "ignored", "5", "1", "1", "0", "sys.img")));
  ASSERT_EQ(partitions_.size(), 2u);
  const PartitionEntry& boot = partitions_[0];
  EXPECT_EQ(boot.Name(), "boot");
  EXPECT_EQ(boot.type, 5u);
  EXPECT_EQ(boot.offset, 0x2000u);
  EXPECT_EQ(boot.size, 0x8000u);
  EXPECT_EQ(boot.dataLength, 1234u);
  EXPECT_EQ(boot.sourceFile, "boot.img");
  EXPECT_EQ(Text(boot.typeGuid, 0, 7), std::string("rootfs\0", 7));
  const PartitionEntry& filled = partitions_[1];
  EXPECT_EQ(filled.Name(), std::string(31, 'n'));
  EXPECT_EQ(filled.offset, 0x2000u);  // octal 020000
  EXPECT_EQ(filled.size, 0x2000u);
  EXPECT_EQ(filled.dataLength, 0u);
  EXPECT_EQ(filled.sourceFile, "");
  EXPECT_EQ(out_.Text(),
            "name=boot, offset=2000, size=8000, type=5, flag=0\r\n"
            "name=" +
                std::string(31, 'n') + ", offset=2000, size=2000, type=5, flag=2\r\n");
}

TEST_F(PartitionListTest, MissingPayloadStopsTheListAfterTheEarlierDebugLines) {
  WriteBytes(dir_ / "a.img", RandomBytes(10, 1));
  EXPECT_FALSE(Read(PartSection(1, "a", "5", "0x100", "0x10", "0", "a.img") +
                    PartSection(2, "b", "5", "0x200", "0x10", "0", "missing.img") +
                    PartSection(3, "c", "5", "0x300", "0x10", "0", "")));
  EXPECT_EQ(out_.Text(),
            "name=a, offset=100, size=10, type=5, flag=0\r\n"
            "Packing Error:Getting UserPart failed!\r\n");
}

TEST_F(PartitionListTest, NoFirstSectionFails) {
  EXPECT_FALSE(Read("[System]\nFwVersion=1\n" + PartSection(2, "a", "5", "1", "1", "2", "")));
  EXPECT_EQ(out_.Text(), "Packing Error:Getting UserPart failed!\r\n");
}

TEST_F(PartitionListTest, RefusesWhatTheImageCannotHold) {
  WriteBytes(dir_ / "a.img", RandomBytes(1024, 1));
  const struct {
    std::string section;
    std::string message;
  } cases[] = {
      {PartSection(1, "g", "5", "0x100", "0x10", "0", "a.img") +
           "Type_Guid=" + std::string(64, 'x') + "\n",
       "Packing Error:Type_Guid of partition g is longer than 63 characters!\r\n"},
      {PartSection(1, "idb", "2", "0x40", "0x800", "1", ""),
       "Packing Error:idblock partition idb must not be skipped or filled, flag=1!\r\n"},
      {PartSection(1, "idb", "2", "0x40", "0x800", "2", "ddr.bin,loader.bin"),
       "Packing Error:idblock partition idb must not be skipped or filled, flag=2!\r\n"},
      // the start at byte 0x800000 x 512 = 4 GiB
      {PartSection(1, "far", "5", "0x800000", "0", "4", "a.img"),
       "Packing Error:partition far does not fit below 4 GiB!\r\n"},
      // the end of the area at 4 GiB
      {PartSection(1, "end", "5", "0x7FFFF0", "0x10", "0", "a.img"),
       "Packing Error:partition end does not fit below 4 GiB!\r\n"},
      {PartSection(1, "fill", "5", "0x10", "0xFFFFFFFF", "2", ""),
       "Packing Error:partition fill does not fit below 4 GiB!\r\n"},
      // a growing payload that would carry the image to 4 GiB
      {PartSection(1, "grow", "5", "0x7FFFFF", "0", "4", "a.img"),
       "Packing Error:partition grow does not fit below 4 GiB!\r\n"},
  };
  for (const auto& c : cases) {
    out_.Clear();
    EXPECT_FALSE(Read(c.section)) << c.section;
    EXPECT_EQ(out_.Text(), c.message);
  }
  // A skipped area is never written, and 63 characters fit the field.
  out_.Clear();
  EXPECT_TRUE(Read(PartSection(1, "skip", "5", "0x7FFFF0", "0x1000", "1", "") +
                   PartSection(2, "g", "5", "0x7FFFFE", "1", "0", "a.img") +
                   "Type_Guid=" + std::string(63, 'x') + "\n"));
}

TEST_F(PartitionListTest, BootBlockLengthComesFromItsTwoFiles) {
  WriteBytes(dir_ / "ddr.bin", RandomBytes(4096, 1));
  WriteBytes(dir_ / "loader.bin", RandomBytes(10000, 2));
  ASSERT_TRUE(Read(PartSection(1, "IDBlock", "2", "0x40", "0x800", "0", "ddr.bin,loader.bin") +
                   PartSection(2, "bad", "2", "0x840", "0x800", "0", "ddr.bin loader.bin")));
  EXPECT_EQ(partitions_[0].dataLength, 16384u);  // 4 + 8 + 20 sectors
  // A failure is reported and recorded, and the list goes on.
  EXPECT_EQ(partitions_[1].dataLength, 0xFFFFFFFFu);
  EXPECT_NE(out_.Text().find(
                "file key should be format as <ddr.bin,loader.bin> in the idblock section!\r\n"
                "name=bad"),
            std::string::npos);
}

}  // namespace
}  // namespace imgweld::test
