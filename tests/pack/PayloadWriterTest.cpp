#include <gtest/gtest.h>

#include "common/File.h"
#include "image/FirmwareImage.h"
#include "pack/OpenImageTest.h"
#include "pack/PackTestSupport.h"
#include "pack/PayloadPlan.h"
#include "support/TestSupport.h"

namespace imgweld::test {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(DisplayName, TextAfterTheLastBackslashCutBeforeTheLastDot) {
  EXPECT_EQ(DisplayName("C:\\images\\boot.img"), "boot");
  EXPECT_EQ(DisplayName("images/boot.img"), "images/boot");
  EXPECT_EQ(DisplayName("dir.old/boot"), "dir");
  EXPECT_EQ(DisplayName("rootfs"), "rootfs");
}

class PayloadWriterTest : public OpenImageTest {
 protected:
  PartitionEntry& Add(const std::string& name, uint32_t offset, uint32_t size, uint32_t flag,
                      const Bytes& payload) {
    PartitionEntry entry;
    entry.SetName(name);
    entry.type = 8;
    entry.offset = offset;
    entry.size = size;
    entry.flag = flag;
    if (!payload.empty()) {
      entry.sourceFile = "data/" + name + ".img";
      std::filesystem::create_directories(dir_.Path() / "data");
      WriteBytes(dir_ / entry.sourceFile, payload);
      entry.dataLength = payload.size();
    }
    partitions_.push_back(entry);
    return partitions_.back();
  }

  bool Write(const std::string& system = "") {
    Configure("[System]\n" + system);
    return WritePlanned(
        [&](PlanBuilder& plan) { PlanPartitionSteps(plan, context_, partitions_); });
  }

  std::vector<PartitionEntry> partitions_;
};

TEST_F(PayloadWriterTest, PayloadsAtTheirSectorsPaddedFilledSkippedAndGrown) {
  const Bytes kernel = RandomBytes(1000, 1);
  const Bytes exact = RandomBytes(8 * 512, 2);
  const Bytes rootfs = RandomBytes(5000, 3);
  Add("kernel", 0x2000, 0x800, 0, kernel);
  Add("misc", 0x100, 8, PART_FLAG_FILL, {});  // below the current end: nothing to fill
  Add("exact", 0x2800, 8, 0, exact);
  Add("skip", 0x2808, 8, PART_FLAG_SKIP, {});
  Add("rootfs", 0x2810, 1, PART_FLAG_GROW, rootfs);  // larger than its size
  ASSERT_TRUE(Write()) << out_.Text();
  EXPECT_EQ(out_.Text(),
            "Adding data/kernel ...\r\nAdding data/exact ...\r\nAdding data/rootfs ...\r\n");

  const Bytes bytes = Image();
  ASSERT_EQ(bytes.size(), 0x2810u * 512 + 5000);
  EXPECT_TRUE(AllBytesAre(bytes, 0, 0x400000, 0xFF));
  EXPECT_EQ(Slice(bytes, 0x400000, 1000), kernel);  // bytes 0x400000 to 0x4003E7
  EXPECT_TRUE(AllBytesAre(bytes, 0x4003E8, 0x500000 - 0x4003E8, 0xFF));
  EXPECT_EQ(Slice(bytes, 0x500000, exact.size()), exact);
  EXPECT_TRUE(AllBytesAre(bytes, 0x2808 * 512, 8 * 512, 0xFF));  // skipped area grown past
  EXPECT_EQ(Slice(bytes, 0x2810 * 512, rootfs.size()), rootfs);
}

TEST_F(PayloadWriterTest, AreaBelowTheEndIsWrittenOverWithoutFillingWhatIsThere) {
  const Bytes late = RandomBytes(8 * 512, 1);
  const Bytes early = RandomBytes(100, 2);
  Add("late", 0x20, 8, 0, late);       // bytes 0x4000 to 0x4FFF
  Add("early", 0x10, 0x30, 0, early);  // bytes 0x2000 to 0x7FFF, over the one before
  ASSERT_TRUE(Write()) << out_.Text();
  const Bytes bytes = Image();
  ASSERT_EQ(bytes.size(), 0x8000u);
  EXPECT_TRUE(AllBytesAre(bytes, 0, 0x2000, 0xFF));
  EXPECT_EQ(Slice(bytes, 0x2000, early.size()), early);
  EXPECT_TRUE(AllBytesAre(bytes, 0x2000 + early.size(), 0x2000 - early.size(), 0xFF));
  // Padding the later-written area to its end passes over these bytes.
  EXPECT_EQ(Slice(bytes, 0x4000, late.size()), late);
  EXPECT_TRUE(AllBytesAre(bytes, 0x5000, 0x3000, 0xFF));
}

TEST_F(PayloadWriterTest, FillPartitionPadsToItsEnd) {
  Add("misc", 0x100, 8, PART_FLAG_FILL | PART_FLAG_SKIP, {});
  ASSERT_TRUE(Write());
  const Bytes bytes = Image();
  ASSERT_EQ(bytes.size(), 0x21000u);
  EXPECT_TRUE(AllBytesAre(bytes, 0x20000, 0x1000, 0xFF));
}

TEST_F(PayloadWriterTest, PayloadLargerThanItsPartitionIsRefusedBeforeWriting) {
  Add("kernel", 0x40, 8, 0, RandomBytes(8 * 512 + 1, 1));
  EXPECT_FALSE(Write());
  EXPECT_EQ(out_.Text(),
            "Adding data/kernel ...\r\n"
            "Packing Error:file length is larger than part size, data/kernel.img\r\n");
  EXPECT_EQ(Image().size(), 0u);
}

TEST_F(PayloadWriterTest, MissingOrShrunkPayloadFails) {
  Add("gone", 0x40, 8, 0, RandomBytes(100, 1));
  std::filesystem::remove(dir_ / "data/gone.img");
  EXPECT_FALSE(Write());
  EXPECT_EQ(out_.Text(),
            "Adding data/gone ...\r\nPacking Error:Opening data/gone.img failed, err=2\r\n");

  partitions_.clear();
  out_.Clear();
  Add("shrunk", 0x40, 8, 0, RandomBytes(100, 1));
  partitions_.back().dataLength = 200;  // measured before the file shrank
  EXPECT_FALSE(Write());
  EXPECT_EQ(out_.Text(),
            "Adding data/shrunk ...\r\nPacking Error:data/shrunk.img changed while packing, its "
            "size went from 200 to 100 bytes!\r\n");
}

TEST_F(PayloadWriterTest, CompactLayoutPutsPayloadsBackToBack) {
  const Bytes a = RandomBytes(1000, 1);
  const Bytes b = RandomBytes(300, 2);
  Add("a", 0x2000, 0x800, 0, a);
  Add("b", 0x100, 8, 0, b);
  ASSERT_TRUE(Write("Gpt_Enable=1\n"));
  Bytes expected = a;
  expected.insert(expected.end(), b.begin(), b.end());
  EXPECT_EQ(Image(), expected);
}

}  // namespace
}  // namespace imgweld::test
