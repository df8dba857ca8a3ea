// One configuration is resolved once for every command that plans it: -P,
// the configuration listing and the rebuild planner see the same time,
// identity and numbers, and a number beyond 32 bits is refused while the
// configuration is resolved, with the line -P prints for it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "common/Output.h"
#include "inspect/ConfigListing.h"
#include "pack/GptWriter.h"
#include "pack/LayoutChecks.h"
#include "pack/PackContext.h"
#include "pack/PackFirmware.h"
#include "pack/PackTestSupport.h"
#include "pack/PackTime.h"
#include "pack/ResolvedConfig.h"
#include "support/TestSupport.h"

namespace imgweld::test {
namespace {

namespace fs = std::filesystem;

// Offset, size, type and flag of one partition.
using Numbers = std::tuple<uint32_t, uint32_t, uint32_t, uint32_t>;

Numbers NumbersOf(const PartitionEntry& entry) {
  return {entry.offset, entry.size, entry.type, entry.flag};
}

template <typename Range, typename Get>
std::vector<Numbers> AllNumbers(const Range& range, Get get) {
  std::vector<Numbers> numbers;
  for (const auto& item : range) numbers.push_back(NumbersOf(get(item)));
  return numbers;
}

// SOURCE_DATE_EPOCH set for the length of a scope, unset again after it.
class ScopedEpoch {
 public:
  explicit ScopedEpoch(const char* value) {
    if (value != nullptr) setenv("SOURCE_DATE_EPOCH", value, 1);
  }
  ~ScopedEpoch() { unsetenv("SOURCE_DATE_EPOCH"); }
};

// The partition numbers of a written image, read from its bytes: the
// tagged image's records after the vendor record, or the GPT entries.
std::vector<Numbers> ImageNumbers(const std::vector<uint8_t>& image, bool gpt, size_t count) {
  std::vector<Numbers> numbers;
  for (size_t i = 0; i < count; ++i) {
    if (gpt) {
      const size_t at = 1024 + i * 128;
      const uint64_t first = Le64(image, at + 32);
      const uint64_t last = Le64(image, at + 40);
      numbers.push_back(
          {static_cast<uint32_t>(first), static_cast<uint32_t>(last - first + 1), 0, 0});
    } else {
      const size_t at = 0x200 + (i + 1) * 128;
      numbers.push_back({Le32(image, at + 0x24), Le32(image, at + 0x28), Le32(image, at + 0x20),
                         Le32(image, at + 0x34)});
    }
  }
  return numbers;
}

// A GPT entry keeps no type number or flag: only where it lies.
std::vector<Numbers> PlaceOnly(std::vector<Numbers> numbers) {
  for (Numbers& n : numbers) n = {std::get<0>(n), std::get<1>(n), 0, 0};
  return numbers;
}

class ResolvedConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteBytes(root_ / "ddr.bin", RandomBytes(4096, 1));
    WriteBytes(root_ / "loader.bin", RandomBytes(10000, 2));
    WriteBytes(root_ / "a.img", RandomBytes(0x10 * 512, 3));
  }

  std::string ConfigPath() const { return root_ / "setting.ini"; }

  TempDir root_;
};

constexpr char kDiskGuid[] = "00112233-4455-6677-8899-AABBCCDDEEFF";
constexpr char kBoot[] =
    "[UserPart1]\nName=IDBlock\nType=2\nPartOffset=0x40\nPartSize=0x800\n"
    "Flag=0\nFile=ddr.bin,loader.bin\n";
// A payload whose type is -1, kept as 0xFFFFFFFF, with every attribute bit
// of its partition-table entry set, and a skipped partition with every
// number at its largest 32-bit value, in the middle of the list.
constexpr char kLimits[] =
    "[UserPart2]\nName=a\nType=-1\nPartOffset=0x900\nPartSize=0x10\nFlag=0\nFile=a.img\n"
    "Attributes=0xFFFFFFFFFFFFFFFF\n"
    "[UserPart3]\nName=far\nType=0xFFFFFFFF\nPartOffset=0xFFFFFFFF\nPartSize=4294967295\n"
    "Flag=1\n"
    "[UserPart4]\nName=b\nType=8\nPartOffset=011000\nPartSize=0x10\nFlag=0\nFile=a.img\n";

const std::vector<Numbers> kLimitNumbers = {{0x40, 0x800, 2, 0},
                                            {0x900, 0x10, 0xFFFFFFFF, 0},
                                            {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 1},
                                            {0x1200, 0x10, 8, 0}};

TEST_F(ResolvedConfigTest, ListingPackAndRebuildPlannerTakeOneResolvedValue) {
  const struct {
    const char* what;
    std::string system;
    const char* epoch;     // SOURCE_DATE_EPOCH, or null
    const char* stamped;   // the header's date, for the tagged form
    uint32_t version = 0;  // the tagged header's version
    std::string chip = std::string(4, '\0');
  } cases[] = {
      {"tagged, Date key at the last year, version at its limit",
       "FwVersion=255.255.65535\nChip=ABCDE\nModel=m\nDate=65535-12-31 23:59:60\nFILL_BYTE=0xFF\n",
       "1", "65535-12-31 23:59:60", 0xFFFFFFFF, "ABCD"},
      {"tagged, SOURCE_DATE_EPOCH", "FwVersion=1.2.3\n", "1709647629", "2024-03-05 14:07:09",
       0x01020003},
      {"tagged, SOURCE_DATE_EPOCH at the last second the header holds",
       "FwVersion=1\nBackup_Partition_Enable=1\n", "2005949145599", "65535-12-31 23:59:59",
       0x01000000},
      {"padded",
       "Gpt_Enable=0\nBackup_Partition_Enable=0\nDisk_Guid=" + std::string(kDiskGuid) + "\n", "1",
       nullptr},
      {"compact", "Gpt_Enable=1\nDate=2030-01-02 03:04:05\n", nullptr, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string text = "[System]\n" + c.system + kBoot + kLimits;
    WriteText(ConfigPath(), text);
    ConfigDocument document;
    ParseConfig(document, text);

    StringOutput resolving;
    ResolvedConfig resolved;
    const PackMoment moment{nullptr, c.epoch, 0};
    ASSERT_TRUE(ResolveConfiguration(
        document, {ConfigPath(), root_.Path().string(), moment, nullptr}, resolved, resolving))
        << resolving.Text();
    EXPECT_EQ(AllNumbers(resolved.partitions, [](const auto& p) { return p.entry; }),
              kLimitNumbers);
    const bool gpt = resolved.options.IsGpt();
    if (!gpt) {
      const std::tm& t = resolved.packTime;
      EXPECT_EQ(
          DateKeyText(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec),
          c.stamped);
    }

    // The listing.
    const ConfigListing listing =
        DescribeConfiguration(document, ConfigPath(), "Firmware.img", c.epoch);
    EXPECT_FALSE(listing.Refused()) << listing.RefusalText();
    EXPECT_EQ(listing.options.form, resolved.options.form);
    EXPECT_EQ(listing.options.backup, resolved.options.backup);
    EXPECT_EQ(listing.options.fillByte, resolved.options.fillByte);
    EXPECT_EQ(AllNumbers(listing.partitions, [](const auto& e) { return e; }), kLimitNumbers);
    if (!gpt) {
      ASSERT_TRUE(listing.identity.has_value());
      EXPECT_EQ(listing.identity->version, c.version);
      const auto& chip = listing.identity->chip;
      EXPECT_EQ(std::string(chip.begin(), chip.end()), c.chip);
    }

    // The rebuild planner's entry point, stamped as the rebuild check stamps it.
    StringOutput planning;
    DiscardedOutput progress;
    const PackOptions options = ResolvePackOptions(document, root_.Path().string());
    const PackContext context{options, planning, nullptr, &progress};
    std::vector<Numbers> planned;
    if (gpt) {
      GptFirmwarePlan plan;
      ASSERT_TRUE(PlanGptFirmware(document, context, resolved.guids, "Firmware.img", plan))
          << planning.Text();
      planned = AllNumbers(plan.partitions, [](const auto& e) { return e; });
    } else {
      TaggedFirmwarePlan plan;
      ASSERT_TRUE(PlanTaggedFirmware(document, context, "Firmware.img", resolved.packTime, plan))
          << planning.Text();
      planned = AllNumbers(plan.partitions, [](const auto& e) { return e; });
      const FirmwareHeader& h = plan.header;
      EXPECT_EQ(DateKeyText(h.year, h.month, h.day, h.hour, h.minute, h.second), c.stamped);
      EXPECT_EQ(h.version, c.version);
    }
    EXPECT_EQ(planned, kLimitNumbers);

    // -P, its image read back byte by byte.
    const fs::path saved = root_ / "out";
    fs::remove_all(saved);
    fs::create_directories(saved);
    StringOutput packing;
    {
      const ScopedEpoch epoch(c.epoch);
      ASSERT_TRUE(PackFirmware(ConfigPath(), saved.string(), packing)) << packing.Text();
    }
    const std::vector<uint8_t> image = ReadBytes((saved / "Firmware.img").string());
    const size_t count = kLimitNumbers.size();
    if (gpt) {
      EXPECT_EQ(ImageNumbers(image, true, count), PlaceOnly(kLimitNumbers));
      EXPECT_EQ(Le64(image, 1024 + 128 + 48), 0xFFFFFFFFFFFFFFFFu);
      EXPECT_EQ(resolved.partitions[1].attributes, 0xFFFFFFFFFFFFFFFFu);
      if (resolved.diskGuid) {
        // GUID text: the first three groups little-endian, the rest as written.
        EXPECT_EQ(HexOf(Slice(image, 512 + 56, 16)), "33221100554477668899aabbccddeeff");
        EXPECT_EQ(HexOf(*resolved.diskGuid), "33221100554477668899aabbccddeeff");
      }
    } else {
      EXPECT_EQ(ImageNumbers(image, false, count), kLimitNumbers);
      EXPECT_EQ(DateKeyText(Le16(image, 4), image[6], image[7], image[8], image[9], image[10]),
                c.stamped);
      EXPECT_EQ(Le32(image, 0x0C), c.version);
      EXPECT_EQ(Text(image, 0x29, 4), c.chip);
    }
  }
}

// The first of PartOffset, PartSize, Type and Flag beyond 32 bits is refused
// while the configuration is resolved, before any file is opened, with the
// line the layout checks print for it; the largest 32-bit values and
// negative texts resolve.
TEST_F(ResolvedConfigTest, NumberBeyond32BitsIsRefusedWhileResolving) {
  const struct {
    std::string keys;     // the second partition's numbers
    const char* refusal;  // after "Packing Error:", or null
    Numbers numbers;      // as resolved
  } cases[] = {
      {"PartOffset=0x100000000\nPartSize=0x10\nType=8\nFlag=0\n",
       "PartOffset=0x100000000 of partition a does not fit 32 bits!",
       {0, 0x10, 8, 0}},
      {"PartOffset=0xFFFFFFFF\nPartSize=4294967296\nType=8\nFlag=1\n",
       "PartSize=4294967296 of partition a does not fit 32 bits!",
       {0xFFFFFFFF, 0, 8, 1}},
      {"PartOffset=0x900\nPartSize=0x10\nType=040000000000\nFlag=0x100000000\n",
       "Type=040000000000 of partition a does not fit 32 bits!",
       {0x900, 0x10, 0, 0}},
      {"PartOffset=0x900\nPartSize=0x10\nType=8\nFlag=99999999999999999999\n",
       "Flag=99999999999999999999 of partition a does not fit 32 bits!",
       {0x900, 0x10, 8, 0xFFFFFFFF}},
      {"PartOffset=0xFFFFFFFF\nPartSize=037777777777\nType=4294967295\nFlag=1\n",
       nullptr,
       {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 1}},
      {"PartOffset=-1\nPartSize=-4294967295\nType=8\nFlag=1\n", nullptr, {0xFFFFFFFF, 1, 8, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keys);
    // The payload names a file that does not exist: resolving opens none.
    const std::string text = std::string("[System]\nFwVersion=1\n") + kBoot +
                             "[UserPart2]\nName=a\nFile=missing.img\n" + c.keys;
    ConfigDocument document;
    ParseConfig(document, text);
    StringOutput out;
    ResolvedConfig resolved;
    ASSERT_TRUE(ResolveConfiguration(
        document, {"setting.ini", root_.Path().string(), PackMoment{nullptr, "1", 0}, nullptr},
        resolved, out));
    EXPECT_EQ(out.Text(), "");
    ASSERT_EQ(resolved.partitions.size(), 2u);
    EXPECT_FALSE(resolved.partitions[0].numberRefusal);
    const ResolvedPartition& a = resolved.partitions[1];
    EXPECT_EQ(NumbersOf(a.entry), c.numbers);
    const std::string line =
        c.refusal == nullptr ? "" : std::string("Packing Error:") + c.refusal + "\r\n";
    EXPECT_EQ(a.numberRefusal.value_or(""), line);
    StringOutput checked;
    EXPECT_EQ(CheckPartitionNumbers(resolved.partitions, checked), c.refusal == nullptr);
    EXPECT_EQ(checked.Text(), line);
  }
}

}  // namespace
}  // namespace imgweld::test
