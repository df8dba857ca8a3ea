#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "common/Output.h"
#include "pack/GptWriter.h"
#include "pack/PackContext.h"
#include "pack/PackFirmware.h"
#include "pack/PackOptions.h"
#include "pack/PackTestSupport.h"
#include "support/TestSupport.h"

// Layouts the packer refuses before it writes anything, and the padding that
// makes the recorded image length cover every byte.
namespace imgweld::test {
namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

class LayoutPlanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(out_);
    WriteBytes(root_ / "ddr.bin", RandomBytes(4096, 1));
    WriteBytes(root_ / "loader.bin", RandomBytes(10000, 2));
    WriteBytes(root_ / "a.img", RandomBytes(0x10 * 512, 3));
    WriteBytes(root_ / "grow.img", RandomBytes(0x30 * 512 + 100, 4));
  }

  bool Pack(const std::string& config) {
    out_text_.Clear();
    fs::remove_all(out_);
    fs::create_directories(out_);
    WriteText(root_ / "setting.ini", config);
    return PackFirmware(root_ / "setting.ini", out_, out_text_, FixedPackTime());
  }

  // The lines after the partition list and its "name=..." lines.
  std::string AfterList() const {
    const std::string& text = out_text_.Text();
    size_t at = 0;
    for (size_t next; (next = text.find("name=", at)) != std::string::npos;) {
      at = text.find('\n', next) + 1;
    }
    return text.substr(at);
  }

  // Packs `config`; with a `refusal`, expects it to be refused right after
  // the partition list by one line starting with that text, leaving nothing.
  void ExpectPackedOrRefused(const std::string& config, const std::string& refusal) {
    const bool packed = Pack(config);
    if (refusal.empty()) {
      EXPECT_TRUE(packed) << out_text_.Text();
      return;
    }
    EXPECT_FALSE(packed);
    const std::string after = AfterList();
    EXPECT_EQ(after.rfind("Packing Error:" + refusal, 0), 0u) << out_text_.Text();
    EXPECT_EQ(after.find('\n'), after.size() - 1) << "one line only:\n" << after;
    EXPECT_TRUE(after.ends_with("!\r\n")) << after;
    EXPECT_TRUE(fs::is_empty(out_));
  }

  static std::string Tagged(const std::string& extra = "") {
    return "[System]\nFwVersion=1.0.0\n" + extra;
  }
  static std::string Gpt(const std::string& value, const std::string& extra = "") {
    return "[System]\nGpt_Enable=" + value + "\nBackup_Partition_Enable=0\n" + extra;
  }
  static std::string Boot(int n, const std::string& offset, const std::string& size = "0x800") {
    return PartSection(n, "IDBlock", "2", offset, size, "0", "ddr.bin,loader.bin");
  }
  static std::string Part(int n, const std::string& name, const std::string& offset,
                          const std::string& size, const std::string& flag = "0",
                          const std::string& file = "a.img") {
    const bool noFile = flag == "1" || flag == "2" || flag == "3";
    return PartSection(n, name, "8", offset, size, flag, noFile ? "" : file);
  }

  TempDir root_;
  std::string out_ = root_ / "out";
  StringOutput out_text_;
};

TEST_F(LayoutPlanTest, OverlapsAreRefusedRightAfterTheListNamingBoth) {
  const struct {
    const char* what;
    std::string config;
    std::string refusal;  // empty: the image is packed
  } cases[] = {
      {"boot block inside uboot",
       Tagged() + Part(1, "uboot", "0x4000", "0x2000") + Boot(2, "0x4100"),
       "partition IDBlock at sectors 4100-48ff overlaps partition uboot at sectors 4000-5fff"},
      {"overlap by one sector", Tagged() + Boot(1, "0x40") + Part(2, "a", "0x83f", "0x10"),
       "partition a at sectors 83f-84e overlaps partition IDBlock at sectors 40-83f"},
      {"touching ranges", Tagged() + Boot(1, "0x40") + Part(2, "a", "0x840", "0x10"), ""},
      {"unsorted list, touching",
       Tagged() + Part(1, "a", "0x900", "0x10") + Boot(2, "0x40") + Part(3, "b", "0x840", "0xC0"),
       ""},
      {"unsorted list, overlapping",
       Tagged() + Part(1, "a", "0x900", "0x10") + Boot(2, "0x40") + Part(3, "b", "0x840", "0xC1"),
       "partition b at sectors 840-900 overlaps partition a at sectors 900-90f"},
      {"payload inside the header and table",
       Tagged() + Boot(1, "0x40") + Part(2, "a", "2", "0x10"),
       "partition a at sectors 2-11 overlaps the image header, partition table and vendor area at "
       "sectors 0-3f"},
      {"offset left 0 by a key typo",
       Tagged() + Boot(1, "0x40") +
           "[UserPart2]\nName=a\nType=8\nPartOfset=0x900\nPartSize=0x10\nFlag=0\nFile=a.img\n",
       "partition a at sectors 0-f overlaps the image header"},
      {"boot block raised to 64 clears the table", Tagged() + Boot(1, "0x10"), ""},
      {"skipped partition inside another",
       Tagged() + Boot(1, "0x40") + Part(2, "skip", "0x100", "0x10", "1"), ""},
      {"skipped and filled partition inside another",
       Tagged() + Boot(1, "0x40") + Part(2, "both", "0x100", "0x10", "3"),
       "partition both at sectors 100-10f overlaps partition IDBlock at sectors 40-83f"},
      {"size 0 occupies nothing", Tagged() + Boot(1, "0x40") + Part(2, "a", "0x100", "0", "2"), ""},
      {"second boot block of the tagged image writes nothing",
       Tagged() + Boot(1, "0x40") + Boot(2, "0x100"), ""},
      {"growing last partition runs into an earlier one",
       Tagged() + Boot(1, "0x40") + Part(2, "a", "0x900", "0x10") +
           Part(3, "grow", "0x8E0", "1", "4", "grow.img"),
       "partition grow at sectors 8e0-910 overlaps partition a at sectors 900-90f"},
      {"growing partition wider than its size",
       Tagged() + Boot(1, "0x40") + Part(2, "grow", "0x840", "0x10", "4", "grow.img") +
           Part(3, "a", "0x860", "0x10"),
       "partition a at sectors 860-86f overlaps partition grow at sectors 840-870"},
      {"padded table sectors", Gpt("0") + Part(1, "a", "0x21", "0x10"),
       "partition a at sectors 21-30 overlaps the protective MBR and partition table at sectors "
       "0-21"},
      {"padded, first free sector", Gpt("0") + Part(1, "a", "0x22", "0x10"), ""},
      {"padded overlap", Gpt("0") + Part(1, "a", "0x100", "0x10") + Part(2, "b", "0x10F", "0x10"),
       "partition b at sectors 10f-11e overlaps partition a at sectors 100-10f"},
      {"padded boot block is taken from 64",
       Gpt("0") + Part(1, "a", "0x22", "0x1E") + Boot(2, "0x10"), ""},
      {"compact entries do not place the data",
       Gpt("1") + Part(1, "a", "0x100", "0x10") + Part(2, "b", "0x108", "0x10"), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectPackedOrRefused(c.config, c.refusal);
  }
}

// A failure the plan finds ahead of its turn is printed where the writing
// would have met it: after the messages of the steps before it, in both
// image forms, with its detail on standard error; nothing is written.
TEST_F(LayoutPlanTest, PlannedFailuresArePrintedWhereTheWritingStops) {
  const std::string tooLarge = "Packing Error:file length is larger than part size, grow.img\r\n";
  const std::string tooLargeDetail =
      "imgweld: grow.img: partition big: the file has 24676 bytes (49 sectors), the partition 8 "
      "sectors (4096 bytes)\n";
  const std::string gone = "Packing Error:Opening none.bin failed, err=2!\r\n";
  const std::string goneDetail = "imgweld: none.bin: No such file or directory\n";
  const struct {
    const char* what;
    std::string config;
    std::string afterList;
    std::string diagnostics;
  } cases[] = {
      {"tagged, payload larger than its partition",
       Tagged() + Boot(1, "0x40") + Part(2, "big", "0x900", "8", "0", "grow.img"),
       "Writing vendor...\r\nWriting idblock...\r\nAdding grow ...\r\n" + tooLarge, tooLargeDetail},
      {"partition table, payload larger than its partition",
       Gpt("0") + Part(1, "big", "0x40", "8", "0", "grow.img"),
       "writing mbr...\r\nwriting gpt...\r\nAdding grow ...\r\n" + tooLarge, tooLargeDetail},
      // The size query reports the missing program while the list is read;
      // the plan keeps the failure for the boot block's turn.
      {"partition table, boot program missing",
       Gpt("0") + PartSection(1, "IDBlock", "2", "0x40", "0x800", "0", "none.bin,loader.bin"),
       "writing mbr...\r\nwriting gpt...\r\nWriting idblock...\r\n" + gone,
       goneDetail + goneDetail},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(Pack(c.config));
    EXPECT_EQ(AfterList(), c.afterList) << out_text_.Text();
    EXPECT_TRUE(out_text_.Diagnostics().ends_with(c.diagnostics)) << out_text_.Diagnostics();
    EXPECT_TRUE(fs::is_empty(out_));
  }
}

// Every input of a run is opened once, when it is measured, and the same
// open file is copied or built from: both planners take the resolved input.
TEST_F(LayoutPlanTest, EveryInputIsOpenedOnce) {
  class CountingInputs final : public PackInputs {
   public:
    explicit CountingInputs(std::string dir) : dir_(std::move(dir)) {}
    bool Open(const std::string& name, File& file) const override {
      ++opened[name];
      return file.OpenInput(dir_ + "/" + name);
    }
    mutable std::map<std::string, int> opened;

   private:
    std::string dir_;
  };
  const std::map<std::string, int> once = {{"a.img", 1}, {"ddr.bin", 1}, {"loader.bin", 1}};
  for (const bool gpt : {false, true}) {
    SCOPED_TRACE(gpt ? "partition table" : "tagged");
    ConfigDocument document;
    ParseConfig(document,
                (gpt ? Gpt("0") : Tagged()) + Boot(1, "0x40") + Part(2, "a", "0x900", "0x10"));
    const PackOptions options = ResolvePackOptions(document, "");
    const CountingInputs inputs(root_.Path().string());
    const PackContext context{options, out_text_, &inputs};
    bool planned = false;
    if (gpt) {
      GptFirmwarePlan plan;
      planned = PlanGptFirmware(document, context, {}, "Firmware.img", plan) && !plan.plan.failure;
    } else {
      TaggedFirmwarePlan plan;
      planned = PlanTaggedFirmware(document, context, "Firmware.img", FixedPackTime(), plan) &&
                !plan.plan.failure;
    }
    EXPECT_TRUE(planned) << out_text_.Text();
    EXPECT_EQ(inputs.opened, once);
  }
}

TEST_F(LayoutPlanTest, NumbersBeyond32BitsAndEmptyTableEntriesAreRefused) {
  const struct {
    const char* what;
    std::string config;
    std::string refusal;
  } cases[] = {
      {"offset cut to 32 bits", Tagged() + Boot(1, "0x40") + Part(2, "a", "0x1000000C0", "0x10"),
       "PartOffset=0x1000000C0 of partition a does not fit 32 bits!"},
      {"size", Tagged() + Boot(1, "0x40") + Part(2, "a", "0x900", "4294967296"),
       "PartSize=4294967296 of partition a does not fit 32 bits!"},
      {"type", Tagged() + Boot(1, "0x40") + Part(2, "a", "0x900", "0x10") + "Type=0x100000008\n",
       "Type=0x100000008 of partition a does not fit 32 bits!"},
      {"flag past every unsigned long",
       Tagged() + Boot(1, "0x40") + Part(2, "a", "0x900", "0x10") + "Flag=99999999999999999999\n",
       "Flag=99999999999999999999 of partition a does not fit 32 bits!"},
      {"negative text keeps its conversion",
       Tagged() + Boot(1, "0x40") + Part(2, "a", "0x900", "0x10") + "Type=-1\n", ""},
      {"padded entry with size 0",
       Gpt("0") + Part(1, "a", "0x100", "0", "2") + Part(2, "b", "0x200", "0x10"),
       "partition a has size 0, so its table entry would end before it begins!"},
      {"compact entry with size 0",
       Gpt("1") + Part(1, "a", "0x100", "0", "2") + Part(2, "b", "0x200", "0x10"),
       "partition a has size 0, so its table entry would end before it begins!"},
      {"growing entry with size 0 before another",
       Gpt("0") + Part(1, "grow", "0x100", "0", "4", "grow.img") + Part(2, "b", "0x200", "0x10"),
       "partition grow has size 0, so its table entry would end before it begins!"},
      {"growing last entry with size 0",
       Gpt("0") + Part(1, "a", "0x100", "0x10") + Part(2, "grow", "0x200", "0", "4", "grow.img"),
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectPackedOrRefused(c.config, c.refusal);
  }
}

// A growing last payload may take every 32-bit position, but the image is
// padded to a whole sector and its recorded length is 32 bits: the longest
// image ends at 0xFFFFFE00. A payload that ends past that is refused for
// the image, one that ends past 0xFFFFFFFF for itself. Planned only, as -P
// plans before it writes: the images are 4 GiB.
TEST_F(LayoutPlanTest, GrowingPayloadReachesTheLastWholeSectorBelow4GiB) {
  const uint64_t start = uint64_t{0x7FFF00} * 512;
  const struct {
    uint64_t end;  // where the payload ends, from the image's start
    std::string refusal;
  } cases[] = {
      {0xFFFFFE00, ""},
      {0xFFFFFE01, "Packing Error:Firmware.img does not fit below 4 GiB!\r\n"},
      {0xFFFFFFFF, "Packing Error:Firmware.img does not fit below 4 GiB!\r\n"},
      {0x100000000, "Packing Error:partition grow does not fit below 4 GiB!\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.end);
    fs::resize_file(root_ / "a.img", c.end - start);  // sparse
    ConfigDocument document;
    ParseConfig(document,
                Tagged() + Boot(1, "0x40", "0x80") + Part(2, "grow", "0x7FFF00", "0", "4"));
    const PackOptions options = ResolvePackOptions(document, root_.Path().string());
    StringOutput out;
    DiscardedOutput progress;
    const PackContext context{options, out, nullptr, &progress};
    TaggedFirmwarePlan planned;
    const bool planOk =
        PlanTaggedFirmware(document, context, "Firmware.img", FixedPackTime(), planned);
    const std::string refusal =
        out.Text() + (planned.plan.failure ? planned.plan.failure->line : std::string());
    EXPECT_EQ(refusal, c.refusal);
    if (c.refusal.empty()) {
      EXPECT_TRUE(planOk);
      EXPECT_EQ(planned.header.imageLength, c.end);
      EXPECT_EQ(planned.plan.length, c.end);
    }
  }
}

TEST_F(LayoutPlanTest, TypeMinusOneIsStoredAsAllOnes) {
  ASSERT_TRUE(Pack(Tagged() + Boot(1, "0x40") + Part(2, "a", "0x900", "0x10") + "Type=-1\n"))
      << out_text_.Text();
  const Bytes image = ReadBytes(out_ + "/Firmware.img");
  EXPECT_EQ(Le32(image, 0x200 + 2 * 128 + 0x20), 0xFFFFFFFFu);
}

// A growing last partition that ends inside a sector: the image is padded
// with fill bytes to the sector's end before the backup block, so the header's
// length covers the payload and, with the backup, points at the block.
TEST_F(LayoutPlanTest, ImageLengthCoversAnUnalignedEnd) {
  for (const bool backup : {false, true}) {
    SCOPED_TRACE(backup ? "backup" : "no backup");
    ASSERT_TRUE(Pack(Tagged(std::string("FILL_BYTE=0x5A\nBackup_Partition_Enable=") +
                            (backup ? "1" : "0") + "\n") +
                     Boot(1, "0x40") + Part(2, "grow", "0x900", "1", "4", "grow.img")))
        << out_text_.Text();
    const Bytes image = ReadBytes(out_ + "/Firmware.img");
    const uint64_t payloadEnd = 0x900 * 512 + 0x30 * 512 + 100;
    const uint64_t padded = payloadEnd + 412;
    ASSERT_EQ(image.size(), padded + (backup ? 4096 : 0));
    EXPECT_TRUE(AllBytesAre(image, payloadEnd, 412, 0x5A));
    EXPECT_EQ(Le32(image, 0x18), padded / 512);
    EXPECT_EQ(Le32(image, 0x24), image.size());
    EXPECT_EQ(image[0x28], backup ? 0 : 1);
    if (backup) {
      EXPECT_EQ(Slice(image, padded + 3584, 512), Slice(image, 0, 512));
      EXPECT_EQ(Slice(image, padded, 3584), Slice(image, 512, 3584));
    }
    EXPECT_EQ(Le32(image, 0x1FC), RefCrc32Msb(Slice(image, 0, 0x1FC)));
    EXPECT_EQ(HexOf(ReadBytes(out_ + "/Firmware.md5")), Md5sumHex(out_ + "/Firmware.img"));
  }
}

}  // namespace
}  // namespace imgweld::test
