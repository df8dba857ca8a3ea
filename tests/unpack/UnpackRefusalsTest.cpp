// The table by which -U refuses or lets pass what the reader finds wrong
// with a tagged image, held to -U's output and to -V's verdict: one crafted
// image per row. Images are laid out by the tests' own writer, or packed
// from an example and edited, their checksums computed again here from
// their definitions so that only the edit stands out.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <sstream>

#include "cli/CommandLine.h"
#include "common/File.h"
#include "common/Output.h"
#include "image/ImageReader.h"
#include "image/ImageSource.h"
#include "pack/PackFirmware.h"
#include "pack/PackTestSupport.h"
#include "support/TestSupport.h"
#include "unpack/TaggedImageWriter.h"
#include "unpack/UnpackFirmware.h"
#include "unpack/UnpackRefusals.h"

namespace imgweld::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Rule = TaggedRule;

size_t Record(size_t index) { return 0x200 + 128 * index; }

// The table checksum over the records the header counts, then the header
// checksum.
void SealTable(Bytes& image) {
  const uint32_t count = Le32(image, 0x20);
  PutLe(image, 0x1F8, RefCrc32Msb(std::span<const uint8_t>(image).subspan(0x200, count * 128)), 4);
}
void SealHeader(Bytes& image) {
  PutLe(image, 0x1FC, RefCrc32Msb(std::span<const uint8_t>(image).first(0x1FC)), 4);
}
void Seal(Bytes& image) {
  SealTable(image);
  SealHeader(image);
}

// The names of the checks "-V" prints as failed: "<name> bad <detail>".
std::set<std::string> FailedChecks(const std::string& listing) {
  std::set<std::string> names;
  std::istringstream lines(listing);
  for (std::string line; std::getline(lines, line);) {
    const size_t bad = line.find("  bad  ");
    if (bad == std::string::npos) continue;
    std::string name = line.substr(0, bad);
    name.erase(name.find_last_not_of(' ') + 1);
    names.insert(name);
  }
  return names;
}

class UnpackRefusalsTest : public ::testing::Test {
 protected:
  // The board example packed, without a backup block unless `backup`.
  const Bytes& Board(bool backup) {
    Bytes& image = backup ? withBackup_ : withoutBackup_;
    if (!image.empty()) return image;
    const std::string from = dir_ / (backup ? "src-backup" : "src");
    const std::string to = dir_ / (backup ? "out-backup" : "out");
    fs::copy(SourceDir() + "/examples/board", from);
    std::string config = ReadText(from + "/setting.ini");
    if (!backup) {
      const std::string key = "Backup_Partition_Enable=1";
      config.replace(config.find(key), key.size(), "Backup_Partition_Enable=0");
    }
    WriteText(from + "/setting.ini", config);
    fs::create_directories(to);
    StringOutput out;
    EXPECT_TRUE(PackFirmware(from + "/setting.ini", to, out, FixedPackTime())) << out.Text();
    image = ReadBytes(to + "/Firmware.img");
    return image;
  }

  // The board example with `edit` made and its checksums computed again.
  Bytes Edited(const std::function<void(Bytes&)>& edit, bool backup = false) {
    Bytes image = Board(backup);
    edit(image);
    return image;
  }

  std::string Write(const Bytes& image, uint64_t sparseLength) {
    const std::string path = dir_ / ("image" + std::to_string(++images_) + ".img");
    WriteBytes(path, image);
    if (sparseLength != 0) fs::resize_file(path, sparseLength);
    return path;
  }

  // "-U <image> <dir> offcheck" into a fresh directory.
  bool Unpack(const std::string& path, StringOutput& out) {
    const std::string outDir = dir_ / ("unpacked" + std::to_string(images_));
    fs::create_directories(outDir);
    return UnpackFirmware(path, outDir, false, out);
  }

  struct Verified {
    int exitCode;
    std::string text;
  };
  static Verified Verify(const std::string& path) {
    StringOutput out;
    const char* const argv[] = {"imgweld", "-V", path.c_str(), "offcheck"};
    const int code = RunCommandLine(4, argv, out);
    return {code, out.Text()};
  }

  // The problems each failed check of the reader found, by check name.
  static std::vector<Check> FailedReaderChecks(const std::string& path) {
    File file;
    EXPECT_TRUE(file.OpenInput(path));
    FileSource source(file, fs::file_size(path));
    std::vector<Check> failed;
    for (const Check& check : ReadTaggedImage(source).checks) {
      if (check.status == CheckStatus::kBad) failed.push_back(check);
    }
    return failed;
  }

  TempDir dir_;
  Bytes withBackup_;
  Bytes withoutBackup_;
  int images_ = 0;
};

std::set<Rule> ProblemsOf(const std::vector<Check>& failed) {
  std::set<Rule> rules;
  for (const Check& check : failed) rules.insert(check.problems.begin(), check.problems.end());
  return rules;
}

// Every refusal: -U prints its line last and fails, having written nothing
// (a name is refused only when its record is reached, after the files of the
// records before it), and -V fails a check with a problem of that kind.
TEST_F(UnpackRefusalsTest, EachRefusalPrintsItsLineWhereVerifyFailsThatKind) {
  const auto table = [](uint32_t sector, uint32_t count, uint32_t entrySize, uint64_t length) {
    TestImage image;
    image.records = {VendorRecord(), Partition("a", 5, 0x40, 8, 16)};
    image.overrideCount = true;
    image.entryCount = count;
    image.entrySize = entrySize;
    Bytes bytes = image.Build();
    bytes.resize(length);
    // Moved in the header only: the records are not laid out at 4 GiB.
    PutLe(bytes, 0x14, sector, 4);
    return bytes;
  };
  const auto partitions = [](std::vector<TestRecord> records) {
    TestImage image;
    image.records = std::move(records);
    image.records.insert(image.records.begin(), VendorRecord());
    return image.Build();
  };
  const Bytes header = table(1, 1, 128, 512);
  const struct {
    const char* what;
    Rule rule;
    Bytes image;
    uint64_t sparseLength;  // the file is extended to this length, as a hole
    std::string line;
  } cases[] = {
      {"a header cut short", Rule::kHeaderCutShort, Bytes(header.begin(), header.begin() + 100), 0,
       "UnPacking Error:Header of firmware is cut short, length=100!\r\n"},
      {"a file of 8 GiB", Rule::kFileTooLong, header, uint64_t{8} << 30,
       "UnPacking Error:Firmware is longer than any image can be, length=8589934592!\r\n"},
      {"two records 64 bytes apart", Rule::kRecordsOverlap, table(1, 2, 64, 0x10000), 0,
       "UnPacking Error:Partition records overlap, entrySize=64!\r\n"},
      {"a table at 4 GiB", Rule::kTableBeyondLimit, table(0x800000, 1, 128, 0x10000), 0,
       "UnPacking Error:Partition table lies beyond 4 GiB, entryCount=1, entrySize=128!\r\n"},
      {"a table past the end", Rule::kTableCutShort, table(200, 1, 128, 0x10000), 0,
       "UnPacking Error:Partition table is cut off by the end of the firmware, entryCount=1, "
       "entrySize=128!\r\n"},
      {"a sound header, its second record past the end", Rule::kTableCutShort,
       table(1, 2, 128, 0x2C0), 0,
       "UnPacking Error:Partition table is cut off by the end of the firmware, entryCount=2, "
       "entrySize=128!\r\n"},
      {"29 records", Rule::kTooManyRecords, table(1, 29, 128, 0x10000), 0,
       "UnPacking Error:Partition table holds more records than its area, entryCount=29!\r\n"},
      {"data of 2^32 + 12288 bytes", Rule::kDataTooLong,
       partitions({Partition("wide", 5, 0x40, 8, 0x100003000ull)}), 0,
       "UnPacking Error:Data of wide.img is 4 GiB or longer, dataLength=4294979584!\r\n"},
      {"data at 4 GiB", Rule::kDataBeyondLimit, partitions({Partition("p", 5, 0x800000, 8, 16)}), 0,
       "UnPacking Error:Data of p.img lies beyond 4 GiB!\r\n"},
      {"data past the end", Rule::kDataPastEnd,
       partitions({Partition("a", 5, 0x40, 8, 16), Partition("b", 5, 0x48, 8, 0x10000)}), 0,
       "UnPacking Error:Data of b.img runs past the end of the firmware!\r\n"},
      {"a name with a slash", Rule::kNameNotPlain,
       partitions({Partition("a", 5, 0x40, 8, 16), Partition("x/y", 5, 0x48, 8, 16)}), 0,
       "UnPacking Error:Name of partition record 2 is not a plain file name!\r\n"},
  };
  std::set<Rule> covered;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    covered.insert(c.rule);
    ASSERT_NE(FindRefusal(c.rule), nullptr);
    const std::string path = Write(c.image, c.sparseLength);
    StringOutput unpacked;
    EXPECT_FALSE(Unpack(path, unpacked));
    EXPECT_TRUE(unpacked.Text().ends_with(c.line)) << unpacked.Text();
    if (c.rule != Rule::kNameNotPlain) {
      EXPECT_EQ(unpacked.Text().find("Saving"), std::string::npos) << unpacked.Text();
    }

    const std::vector<Check> failed = FailedReaderChecks(path);
    const auto carrier = std::find_if(failed.begin(), failed.end(), [&](const Check& check) {
      return std::count(check.problems.begin(), check.problems.end(), c.rule) != 0;
    });
    ASSERT_NE(carrier, failed.end());
    const Verified verified = Verify(path);
    EXPECT_EQ(verified.exitCode, 4);
    EXPECT_TRUE(FailedChecks(verified.text).contains(carrier->name)) << verified.text;
  }
  // A record that does not read behind a table that lies in the file takes
  // a failing read of the system, which no image can craft.
  covered.insert(Rule::kRecordsUnread);
  for (const UnpackRefusal& refusal : kUnpackRefusals) {
    EXPECT_TRUE(covered.contains(refusal.rule)) << static_cast<int>(refusal.rule);
  }
}

// -U writes files whose data no record check of the reader takes as data:
// the boot programs, and the data of skipped and fill records. The reader
// still places each such extent, and -U refuses one that does not lie in
// the image by the table's payload rows, before any file is written, though
// -V's record checks let the record pass.
TEST_F(UnpackRefusalsTest, DataNoRecordCheckTakesIsRefusedByThePayloadRows) {
  constexpr uint64_t kLength = 0x10000;
  const struct {
    const char* what;
    TestRecord record;
    size_t extent;  // which of the record's extents lies outside
    Rule rule;
    std::string line;
  } cases[] = {
      {"a skipped record's data past the end", Partition("s", 5, 0x40, 8, kLength, 1), 0,
       Rule::kDataPastEnd, "UnPacking Error:Data of s.img runs past the end of the firmware!\r\n"},
      {"a skipped record's data of 4 GiB", Partition("s", 5, 0x40, 8, 0x100000000ull, 1), 0,
       Rule::kDataTooLong,
       "UnPacking Error:Data of s.img is 4 GiB or longer, dataLength=4294967296!\r\n"},
      {"a fill record's data past the end, its area inside", Partition("f", 5, 0x40, 8, kLength, 2),
       0, Rule::kDataPastEnd,
       "UnPacking Error:Data of f.img runs past the end of the firmware!\r\n"},
      {"a fill record's data beyond 4 GiB", Partition("f", 5, 0x40, 8, 0xFFFFF000, 2), 0,
       Rule::kDataBeyondLimit, "UnPacking Error:Data of f.img lies beyond 4 GiB!\r\n"},
      {"a loader past the end, the record's length no boot block's",
       BootRecord(0x40, 0x400, 512, 0, 2048, kLength), 1, Rule::kDataPastEnd,
       "UnPacking Error:Data of flashboot.bin runs past the end of the firmware!\r\n"},
      {"a Nano DDR program past the end", BootRecord(0x40, 0x400, 512, 1, kLength, 2048), 0,
       Rule::kDataPastEnd,
       "UnPacking Error:Data of nanoboot1.bin runs past the end of the firmware!\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TestImage image;
    image.minLength = kLength;
    image.records = {VendorRecord(), c.record};
    const std::string path = Write(image.Build(), 0);
    StringOutput unpacked;
    EXPECT_FALSE(Unpack(path, unpacked));
    EXPECT_TRUE(unpacked.Text().ends_with(c.line)) << unpacked.Text();
    EXPECT_EQ(unpacked.Text().find("Saving"), std::string::npos) << unpacked.Text();
    ASSERT_NE(FindRefusal(c.rule), nullptr);
    EXPECT_EQ(FindRefusal(c.rule)->stage, UnpackStage::kPayload);
    // The reader placed the extent so, and only that one outside.
    File file;
    ASSERT_TRUE(file.OpenInput(path));
    FileSource source(file, fs::file_size(path));
    const TaggedImageFacts facts = ReadTaggedImage(source);
    ASSERT_EQ(facts.records.size(), 2u);
    const TaggedRecord& record = facts.records[1];
    ASSERT_EQ(record.places.size(), record.extents.size());
    for (size_t k = 0; k < record.places.size(); ++k) {
      if (k == c.extent) {
        ASSERT_NE(record.places[k], PayloadPlace::kInside);
        EXPECT_EQ(PayloadRule(record.places[k]), c.rule);
      } else {
        EXPECT_EQ(record.places[k], PayloadPlace::kInside) << k;
      }
    }
    // No check of the reader fails with a payload row's kind.
    for (const Rule rule : ProblemsOf(FailedReaderChecks(path))) {
      EXPECT_TRUE(FindRefusal(rule) == nullptr || FindRefusal(rule)->stage != UnpackStage::kPayload)
          << static_cast<int>(rule);
    }
  }
}

// Every problem -U lets pass, on an image that has only it (and what it
// brings with it): -U unpacks it, while -V fails exactly those problems.
TEST_F(UnpackRefusalsTest, EachProblemLetPassUnpacksWhereVerifyFailsOnlyIt) {
  // The board's records: 0 vendor, 1 IDBlock at 0x40 (0x80 sectors, its
  // second copy at 0x80), 2 uboot, 3 misc (fill), 4 boot, 5 backup, 6 rootfs.
  constexpr size_t kBoot = 0x40 * 512;
  constexpr size_t kSecondBoot = 0x80 * 512;
  const auto inBothCopies = [&](size_t at) {
    return [=](Bytes& image) {
      image[kBoot + at] ^= 0x5A;
      image[kSecondBoot + at] ^= 0x5A;
    };
  };
  const auto field = [](size_t at, uint64_t value, int width) {
    return [=](Bytes& image) {
      PutLe(image, at, value, width);
      Seal(image);
    };
  };
  const struct {
    const char* what;
    std::set<Rule> problems;
    std::function<void(Bytes&)> edit;
    bool backup;
  } cases[] = {
      {"header length 256", {Rule::kHeaderLength}, field(0x10, 256, 4), false},
      {"the table at sector 2",
       {Rule::kTableSector},
       [](Bytes& image) {
         const Bytes table(image.begin() + 0x200, image.begin() + 0x200 + 7 * 128);
         std::copy(table.begin(), table.end(), image.begin() + 0x400);
         PutLe(image, 0x14, 2, 4);
         Seal(image);
       },
       false},
      {"records 256 bytes apart",
       {Rule::kRecordSize},
       [](Bytes& image) {
         const Bytes table(image.begin() + 0x200, image.begin() + 0x200 + 7 * 128);
         for (size_t i = 0; i < 7; ++i) {
           std::copy_n(table.begin() + 128 * i, 128, image.begin() + 0x200 + 256 * i);
         }
         PutLe(image, 0x1C, 256, 4);
         Seal(image);
       },
       false},
      {"no records", {Rule::kNoRecords, Rule::kNoBootBlock}, field(0x20, 0, 4), false},
      {"header crc", {Rule::kHeaderCrc}, [](Bytes& image) { image[0x1FC] ^= 1; }, false},
      {"table crc",
       {Rule::kTableCrc},
       [](Bytes& image) {
         image[0x1F8] ^= 1;
         SealHeader(image);
       },
       false},
      {"image length", {Rule::kImageLength}, field(0x24, 0x1000, 4), false},
      {"the skipped vendor record's data past the end",
       {Rule::kUnstoredData},
       field(Record(0) + 0x24, 0x7FFF00, 4),
       false},
      {"boot data larger than its area",
       {Rule::kDataLargerThanArea},
       field(Record(4) + 0x28, 1, 4),
       false},
      {"misc's fill area past the end",
       {Rule::kFillArea},
       field(Record(3) + 0x24, 0x7FFF0000, 4),
       false},
      {"boot record data length",
       {Rule::kBootRecordLength},
       field(Record(1) + 0x2C, 512, 8),
       false},
      {"boot area past the end",
       {Rule::kBootCopyOutside, Rule::kBootCopies, Rule::kOverlap},
       field(Record(1) + 0x28, 0x10000000, 4),
       false},
      {"misc over boot", {Rule::kOverlap}, field(Record(3) + 0x28, 0x30, 4), false},
      {"backup block",
       {Rule::kBackupBlock},
       [](Bytes& image) { image[image.size() - 100] ^= 1; },
       true},
      {"boot record of type 8", {Rule::kNoBootBlock}, field(Record(1) + 0x20, 8, 4), false},
      {"second boot copy",
       {Rule::kBootCopies},
       [](Bytes& image) { image[kSecondBoot + 2048] ^= 1; },
       false},
      {"boot signature mark",
       {Rule::kBootSignature, Rule::kBootSectorCrcs},
       inBothCopies(512 + 10),
       false},
      {"boot check sector marks", {Rule::kBootSectors}, inBothCopies(2 * 512 + 491), false},
      {"boot header sector", {Rule::kBootSectorCrcs}, inBothCopies(0x100), false},
      {"boot code", {Rule::kBootCodeCrc}, inBothCopies(4 * 512 + 1), false},
  };
  std::set<Rule> covered;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = Write(Edited(c.edit, c.backup), 0);
    const std::vector<Check> failed = FailedReaderChecks(path);
    EXPECT_EQ(ProblemsOf(failed), c.problems);
    for (const Rule rule : c.problems) {
      EXPECT_EQ(FindRefusal(rule), nullptr) << static_cast<int>(rule);
      covered.insert(rule);
    }

    StringOutput unpacked;
    EXPECT_TRUE(Unpack(path, unpacked)) << unpacked.Text();
    const Verified verified = Verify(path);
    EXPECT_EQ(verified.exitCode, 4);
    std::set<std::string> names;
    for (const Check& check : failed) names.insert(check.name);
    EXPECT_EQ(FailedChecks(verified.text), names) << verified.text;
  }
  // Programs too long for any boot block lie past its end; DDR checksums
  // are kept by the Nano layout only.
  covered.insert({Rule::kBootBlockTooLarge, Rule::kBootDdrCrcs});
  for (const UnpackPass& pass : kUnpackPasses) {
    EXPECT_TRUE(covered.contains(pass.rule)) << static_cast<int>(pass.rule);
  }
}

// The unpack fuzz corpus, each input taken as -U and the reader see it: a
// run that succeeds meets no problem -U refuses, and a table that -U
// refuses fails its run with the first refusal's line.
TEST_F(UnpackRefusalsTest, UnpackAndReaderAgreeOnTheFuzzCorpus) {
  size_t tagged = 0;
  for (const auto& entry : fs::directory_iterator(SourceDir() + "/fuzz/corpus/unpack")) {
    SCOPED_TRACE(entry.path().filename().string());
    const Bytes input = ReadBytes(entry.path().string());
    if (input.size() < 4 || !std::equal(input.begin(), input.begin() + 4, "ZVFP")) continue;
    ++tagged;
    const std::string path = Write(input, 0);
    StringOutput unpacked;
    const bool ok = Unpack(path, unpacked);
    const std::vector<Check> failed = FailedReaderChecks(path);
    if (ok) {
      for (const Rule rule : ProblemsOf(failed)) {
        EXPECT_EQ(FindRefusal(rule), nullptr) << static_cast<int>(rule);
      }
    }
    const UnpackRefusal* first = FirstRefusal(failed, UnpackStage::kHeader);
    if (first == nullptr) first = FirstRefusal(failed, UnpackStage::kTable);
    if (first == nullptr) continue;
    RefusalFacts facts;
    facts.imageLength = input.size();
    facts.entryCount = input.size() >= 0x24 ? Le32(input, 0x20) : 0;
    facts.entrySize = input.size() >= 0x20 ? Le32(input, 0x1C) : 0;
    EXPECT_FALSE(ok);
    EXPECT_TRUE(unpacked.Text().ends_with(first->line(facts))) << unpacked.Text();
  }
  EXPECT_GT(tagged, 0u);
}

// The two lists part every kind of problem between them, each kind once.
TEST(UnpackRefusalTableTest, EveryKindIsRefusedOrLetPassOnce) {
  std::vector<Rule> rules;
  for (const UnpackRefusal& refusal : kUnpackRefusals) rules.push_back(refusal.rule);
  for (const UnpackPass& pass : kUnpackPasses) {
    rules.push_back(pass.rule);
    EXPECT_NE(std::string(pass.reason), "");
  }
  std::sort(rules.begin(), rules.end());
  EXPECT_EQ(std::adjacent_find(rules.begin(), rules.end()), rules.end());
  // The last kind declared.
  EXPECT_EQ(rules.size(), static_cast<size_t>(Rule::kBootDdrCrcs) + 1);
}

}  // namespace
}  // namespace imgweld::test
