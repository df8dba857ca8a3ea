#include "unpack/UnpackFirmware.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <set>

#include "common/Output.h"
#include "support/TestSupport.h"
#include "unpack/TaggedImageWriter.h"

namespace imgweld::test {
namespace {

namespace fs = std::filesystem;

// The digest as md5sum computes it, as 16 raw bytes.
std::vector<uint8_t> Md5Sum(const std::string& path) {
  std::vector<uint8_t> digest = Md5sumBytes(path);
  EXPECT_EQ(digest.size(), 16u);
  return digest;
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, size_t from, size_t length) {
  return std::vector<uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                              bytes.begin() + static_cast<std::ptrdiff_t>(from + length));
}

std::string Listing(const std::vector<uint8_t>& stored, const std::vector<uint8_t>& computed) {
  std::string text;
  char line[32];
  for (size_t i = 0; i < 16; ++i) {
    std::snprintf(line, sizeof line, "%x\t%x\r\n", stored[i], computed[i]);
    text += line;
  }
  return text;
}

constexpr const char* kStart = "Start to unpack firmware...\r\n";
constexpr const char* kDone = "Unpacking firmware OK.\r\n";

class UnpackTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directory(outDir); }

  void WriteImage(const TestImage& image, bool withHash = true) {
    WriteBytes(imagePath, image.Build());
    if (withHash) WriteBytes(dir / "fw.md5", Md5Sum(imagePath));
  }

  bool Unpack(bool verify = true) { return UnpackFirmware(imagePath, outDir, verify, out); }

  std::set<std::string> OutputFiles() const {
    std::set<std::string> names;
    for (const auto& item : fs::directory_iterator(outDir))
      names.insert(item.path().filename().string());
    return names;
  }
  std::vector<uint8_t> OutputFile(const std::string& name) const {
    return ReadBytes(outDir + "/" + name);
  }
  std::string Settings() const { return ReadText(outDir + "/setting.ini"); }

  TempDir dir;
  std::string imagePath = dir / "fw.img";
  std::string outDir = dir / "out";
  StringOutput out;
};

// The example image of a standard boot block and one ordinary partition,
// whose regenerated configuration is fixed line by line.
TEST_F(UnpackTest, WorkedExampleYieldsExactSettingsFilesAndOutput) {
  const auto ddr = RandomBytes(3000, 1);
  const auto loader = RandomBytes(5000, 2);
  const auto system = RandomBytes(1000, 3);
  TestImage image;
  image.backupDisabled = 0;
  image.records = {VendorRecord(), BootRecord(0x40, 0x400, 24 * 512, 0, 3000, 5000),
                   Partition("system", 0x305, 0x2000, 0x10000, 1000)};
  image.Place(0x44 * 512, ddr);
  image.Place((0x40 + 4 + 8) * 512, loader);
  image.Place(0x2000 * 512, system);
  WriteImage(image);

  ASSERT_TRUE(Unpack());
  EXPECT_EQ(out.Text(),
            std::string(kStart) +
                "Saving flashdata.bin...\r\nSaving flashboot.bin...\r\nSaving system.img...\r\n" +
                kDone);
  EXPECT_EQ(Settings(),
            "[System]\nFwVersion=1.2.3\nGpt_Enable=\nBackup_Partition_Enable=1\nNano=\n"
            "[UserPart1]\nName=IDBlock\nType=0x2\nPartOffset=0x40\nPartSize=0x400\nFlag=0\n"
            "File=flashdata.bin,flashboot.bin\n"
            "[UserPart2]\nName=system\nType=0x305\nPartOffset=0x2000\nPartSize=0x10000\nFlag=0x0\n"
            "File=system.img\n");
  EXPECT_EQ(OutputFile("flashdata.bin"), ddr);
  EXPECT_EQ(OutputFile("flashboot.bin"), loader);
  EXPECT_EQ(OutputFile("system.img"), system);
  EXPECT_EQ(OutputFiles(),
            (std::set<std::string>{"flashdata.bin", "flashboot.bin", "system.img", "setting.ini"}));
}

TEST_F(UnpackTest, SettingsFormatEveryKindOfRecord) {
  TestImage image;
  image.version = 0xFF00FFFF;
  image.backupDisabled = 2;
  TestRecord boot = BootRecord(0x40, 0x800, 24 * 512, 1, 100, 200, 0x4);
  boot.name = NameBytes("not/a/file");  // the boot block's name is never used
  image.records = {VendorRecord(),
                   boot,
                   VendorRecord(),
                   Partition("data", 5, 0x1000, 0x20, 0),
                   Partition("misc", 0xab, 0x2000, 0x10, 0, 0xab),
                   Partition("userdata", 0x305, 0x3000, 0xFFFFFFFF, 0, 0x4)};
  const auto ddr = RandomBytes(100, 4);
  const auto loader = RandomBytes(200, 5);
  image.Place((0x40 + 4) * 512, ddr);
  image.Place((0x40 + 20) * 512, loader);
  WriteImage(image);

  ASSERT_TRUE(Unpack());
  EXPECT_EQ(Settings(),
            "[System]\nFwVersion=255.0.65535\nGpt_Enable=\nBackup_Partition_Enable=0\nNano=1\n"
            "[UserPart1]\nName=IDBlock\nType=0x2\nPartOffset=0x40\nPartSize=0x800\nFlag=4\n"
            "File=nanoboot1.bin,nanoboot2.bin\n"
            "[UserPart2]\nName=data\nType=0x5\nPartOffset=0x1000\nPartSize=0x20\nFlag=0x0\nFile="
            "data.img\n"
            "[UserPart3]\nName=misc\nType=0xAB\nPartOffset=0x2000\nPartSize=0x10\nFlag=0xab\nFile="
            "misc.img\n"
            "[UserPart4]\nName=userdata\nType=0x305\nPartOffset=0x3000\nPartSize=\nFlag=0x4\n"
            "File=userdata.img\n");
  EXPECT_EQ(OutputFile("nanoboot1.bin"), ddr);
  EXPECT_EQ(OutputFile("nanoboot2.bin"), loader);
  // Empty payloads still give their file and their progress line.
  EXPECT_TRUE(OutputFile("data.img").empty());
  EXPECT_NE(out.Text().find("Saving data.img...\r\n"), std::string::npos);
}

// `Nano` belongs to `System` wherever the boot block record stands, and it
// keeps the layout of the boot block packing builds (the first): a second
// boot block record with programs of another layout has them extracted, but
// does not change `Nano`, and standard error says packing builds only one.
TEST_F(UnpackTest, LaterBootBlockKeepsTheNanoOfTheFirst) {
  TestImage image;
  image.records = {BootRecord(0x40, 0x20, 24 * 512, 1, 100, 200), Partition("x", 5, 0x60, 8, 4),
                   BootRecord(0x68, 0x20, 12 * 512, 0, 100, 200)};
  const auto nanoDdr = RandomBytes(100, 41);
  const auto nanoLoader = RandomBytes(200, 42);
  const auto ddr = RandomBytes(100, 43);
  const auto loader = RandomBytes(200, 44);
  image.Place((0x40 + 4) * 512, nanoDdr);
  image.Place((0x40 + 20) * 512, nanoLoader);
  image.Place((0x68 + 4) * 512, ddr);
  image.Place((0x68 + 8) * 512, loader);
  WriteImage(image);

  ASSERT_TRUE(Unpack());
  EXPECT_EQ(out.Text(),
            std::string(kStart) +
                "Saving nanoboot1.bin...\r\nSaving nanoboot2.bin...\r\n"
                "Saving x.img...\r\nSaving flashdata.bin...\r\nSaving flashboot.bin...\r\n" +
                kDone);
  EXPECT_EQ(Settings(),
            "[System]\nFwVersion=1.2.3\nGpt_Enable=\nBackup_Partition_Enable=0\nNano=1\n"
            "[UserPart1]\nName=IDBlock\nType=0x2\nPartOffset=0x40\nPartSize=0x20\nFlag=0\n"
            "File=nanoboot1.bin,nanoboot2.bin\n"
            "[UserPart2]\nName=x\nType=0x5\nPartOffset=0x60\nPartSize=0x8\nFlag=0x0\nFile=x.img\n"
            "[UserPart3]\nName=IDBlock\nType=0x2\nPartOffset=0x68\nPartSize=0x20\nFlag=0\n"
            "File=flashdata.bin,flashboot.bin\n");
  EXPECT_EQ(OutputFile("nanoboot1.bin"), nanoDdr);
  EXPECT_EQ(OutputFile("nanoboot2.bin"), nanoLoader);
  EXPECT_EQ(OutputFile("flashdata.bin"), ddr);
  EXPECT_EQ(OutputFile("flashboot.bin"), loader);
  EXPECT_NE(out.Diagnostics().find("partition record 2: a second boot block with programs"),
            std::string::npos)
      << out.Diagnostics();
}

TEST_F(UnpackTest, EmptyOrVendorOnlyTableYieldsOnlySystemSection) {
  for (const bool withVendor : {false, true}) {
    SCOPED_TRACE(withVendor);
    fs::remove_all(outDir);
    fs::create_directory(outDir);
    out.Clear();
    TestImage image;
    if (withVendor) image.records = {VendorRecord()};
    WriteImage(image);
    ASSERT_TRUE(Unpack());
    EXPECT_EQ(out.Text(), std::string(kStart) + kDone);
    EXPECT_EQ(OutputFiles(), std::set<std::string>{"setting.ini"});
    EXPECT_EQ(Settings(), "[System]\nFwVersion=1.2.3\nGpt_Enable=\nBackup_Partition_Enable=0\n");
  }
}

// A repeated name does not make the later payload replace the earlier one:
// the later is written under a numbered name that setting.ini refers to.
TEST_F(UnpackTest, TwoPartitionsWithOneNameKeepBothPayloads) {
  TestImage image;
  image.records = {Partition("a", 5, 0x40, 8, 10), Partition("a", 5, 0x50, 8, 20)};
  const auto first = RandomBytes(10, 6);
  const auto second = RandomBytes(20, 7);
  image.Place(0x40 * 512, first);
  image.Place(0x50 * 512, second);
  WriteImage(image);
  ASSERT_TRUE(Unpack());
  EXPECT_EQ(OutputFile("a.img"), first);
  EXPECT_EQ(OutputFile("a.img.2"), second);
  EXPECT_NE(Settings().find("[UserPart1]\nName=a\nType=0x5\nPartOffset=0x40\nPartSize=0x8\n"
                            "Flag=0x0\nFile=a.img\n[UserPart2]\nName=a\nType=0x5\n"
                            "PartOffset=0x50\nPartSize=0x8\nFlag=0x0\nFile=a.img.2\n"),
            std::string::npos)
      << Settings();
}

TEST_F(UnpackTest, LongNamesAreKeptWholeAndWideLengthsRefused) {
  const std::string name(31, 'n');
  TestImage image;
  image.records = {Partition(name, 5, 0x40, 8, 16)};
  const auto payload = RandomBytes(16, 8);
  image.Place(0x40 * 512, payload);
  WriteImage(image);
  ASSERT_TRUE(Unpack());
  EXPECT_EQ(OutputFile(name + ".img"), payload);
  EXPECT_NE(Settings().find("Name=" + name + "\n"), std::string::npos);

  // A length of 2^32 + 16 cut to its low 32 bits would extract 16 bytes of
  // a payload that is not there; it is refused before anything is written.
  for (const uint64_t wide : {0x100000010ull, 0x100000000ull}) {
    fs::remove_all(outDir);
    fs::create_directory(outDir);
    out.Clear();
    image.records = {Partition(name, 5, 0x40, 8, wide)};
    WriteImage(image);
    EXPECT_FALSE(Unpack());
    EXPECT_EQ(out.Text(), std::string(kStart) + "UnPacking Error:Data of " + name +
                              ".img is 4 GiB or longer, dataLength=" + std::to_string(wide) +
                              "!\r\n");
    EXPECT_TRUE(OutputFiles().empty());
  }
}

// The loader follows the DDR program rounded up to whole 2048-byte units in
// the standard layout, and always starts at sector 20 in the Nano layout.
TEST_F(UnpackTest, BootProgramsAreTakenFromTheirLayoutSectors) {
  struct Case {
    uint8_t layout;
    uint32_t ddrLength;
    uint32_t loaderSector;
  };
  for (const Case c : {Case{0, 513, 8}, Case{0, 2048, 8}, Case{0, 2049, 12}, Case{0, 0, 4},
                       Case{1, 2049, 20}, Case{1, 10, 20}}) {
    SCOPED_TRACE(testing::Message() << "layout " << int{c.layout} << " ddr " << c.ddrLength);
    fs::remove_all(outDir);
    fs::create_directory(outDir);
    const auto ddr = RandomBytes(c.ddrLength, c.ddrLength);
    const auto loader = RandomBytes(700, c.ddrLength + 1);
    TestImage image;
    const uint32_t sectors = c.layout == 1 ? 24 : c.loaderSector + 4;
    image.records = {BootRecord(64, 0x400, sectors * 512, c.layout, c.ddrLength, 700)};
    image.Place((64 + 4) * 512, ddr);
    image.Place((64 + c.loaderSector) * 512, loader);
    WriteImage(image, false);
    ASSERT_TRUE(Unpack(false));
    EXPECT_EQ(OutputFile(c.layout == 1 ? "nanoboot1.bin" : "flashdata.bin"), ddr);
    EXPECT_EQ(OutputFile(c.layout == 1 ? "nanoboot2.bin" : "flashboot.bin"), loader);
  }
}

// In gap mode every 2048 bytes of block are followed by 2048 zero bytes; the
// programs come out without the gaps.
TEST_F(UnpackTest, GappedBootBlockYieldsProgramsWithoutGaps) {
  const auto ddr = RandomBytes(3000, 11);
  const auto loader = RandomBytes(5000, 12);
  for (const uint8_t layout : {0, 1}) {
    SCOPED_TRACE(int{layout});
    fs::remove_all(outDir);
    fs::create_directory(outDir);
    // DDR program 8 sectors, loader 12 sectors.
    const uint32_t sectors = layout == 1 ? 20 + 12 : 4 + 8 + 12;
    std::vector<uint8_t> block(sectors * 512, 0);
    std::copy(ddr.begin(), ddr.end(), block.begin() + 2048);
    std::copy(loader.begin(), loader.end(), block.begin() + (layout == 1 ? 10240 : (4 + 8) * 512));
    std::vector<uint8_t> spread(2 * block.size(), 0);
    for (size_t b = 0; b < block.size(); ++b) spread[(b / 2048) * 4096 + b % 2048] = block[b];
    TestImage image;
    image.records = {BootRecord(64, 0x400, spread.size(), layout, 3000, 5000)};
    image.Place(64 * 512, spread);
    WriteImage(image);
    ASSERT_TRUE(Unpack());
    EXPECT_EQ(OutputFile(layout == 1 ? "nanoboot1.bin" : "flashdata.bin"), ddr);
    EXPECT_EQ(OutputFile(layout == 1 ? "nanoboot2.bin" : "flashboot.bin"), loader);
  }
}

TEST_F(UnpackTest, ImagesWithoutTheTagAreRefused) {
  struct Case {
    std::vector<uint8_t> head;
    const char* message;
  };
  std::vector<uint8_t> gpt(1024, 0);  // protective MBR first, "EFI PART" at sector 1
  gpt[510] = 0x55;
  gpt[511] = 0xAA;
  std::memcpy(gpt.data() + 512, "EFI PART", 8);
  for (const Case& c :
       {Case{gpt, "tag=0x0"}, Case{{}, "tag=0x0"},
        Case{{'A', 'B', 'C', 'D', 0, 0}, "tag=0x44434241"}, Case{{'Z', 'V'}, "tag=0x565a"}}) {
    SCOPED_TRACE(c.message);
    out.Clear();
    WriteBytes(imagePath, c.head);
    WriteBytes(dir / "fw.md5", Md5Sum(imagePath));
    EXPECT_FALSE(Unpack());
    EXPECT_EQ(out.Text(), std::string(kStart) + "UnPacking Error:Tag of firmware is wrong, " +
                              c.message + "!\r\n");
    EXPECT_TRUE(OutputFiles().empty());
  }
}

TEST_F(UnpackTest, HeaderShorterThanOneSectorIsRefused) {
  std::vector<uint8_t> head(104, 0);
  std::memcpy(head.data(), "ZVFP", 4);
  WriteBytes(imagePath, head);
  EXPECT_FALSE(Unpack(false));
  EXPECT_EQ(out.Text(), std::string(kStart) +
                            "UnPacking Error:Header of firmware is cut short, length=104!\r\n");
  EXPECT_TRUE(OutputFiles().empty());
}

TEST_F(UnpackTest, MissingHashFileIsNamedByTheDerivedPath) {
  struct Case {
    std::string image;
    std::string hash;
  };
  fs::create_directory(dir / "old.dir");
  for (const Case& c : {Case{dir / "fw.img", dir / "fw.md5"}, Case{dir / "fw", dir / "fw.md5"},
                        Case{dir / "old.dir/fw", dir / "old.md5"}}) {
    SCOPED_TRACE(c.image);
    out.Clear();
    TestImage image;
    image.records = {Partition("a", 5, 0x40, 8, 0)};
    WriteBytes(c.image, image.Build());
    fs::remove(dir / "fw.md5");
    EXPECT_FALSE(UnpackFirmware(c.image, outDir, true, out));
    EXPECT_EQ(out.Text(),
              std::string(kStart) + "UnPacking Error:Opening " + c.hash + " failed, err=2!\r\n");
    EXPECT_TRUE(OutputFiles().empty());
  }
}

TEST_F(UnpackTest, OnlyTheFirstSixteenBytesOfTheHashFileCount) {
  TestImage image;
  image.records = {Partition("a", 5, 0x40, 8, 4)};
  WriteImage(image);
  auto hash = Md5Sum(imagePath);
  hash.insert(hash.end(), {1, 2, 3});
  WriteBytes(dir / "fw.md5", hash);
  EXPECT_TRUE(Unpack());
  EXPECT_EQ(OutputFiles(), (std::set<std::string>{"a.img", "setting.ini"}));
}

// A mismatch lists stored and computed bytes side by side; a short hash file
// counts as filled up with zero bytes.
TEST_F(UnpackTest, DigestMismatchListsBothDigestsAndExtractsNothing) {
  TestImage image;
  image.records = {Partition("a", 5, 0x40, 8, 4)};
  WriteImage(image);
  const auto digest = Md5Sum(imagePath);
  auto flipped = digest;
  flipped[3] ^= 0xFF;
  auto shortened = Slice(digest, 0, 10);
  auto padded = shortened;
  padded.resize(16, 0);
  for (const auto& [stored, asCompared] :
       {std::pair{flipped, flipped}, std::pair{shortened, padded}}) {
    out.Clear();
    WriteBytes(dir / "fw.md5", stored);
    EXPECT_FALSE(Unpack());
    EXPECT_EQ(out.Text(), std::string(kStart) + "UnPacking Error:compare hash failed!\r\n" +
                              Listing(asCompared, digest));
    EXPECT_TRUE(OutputFiles().empty());
  }
}

TEST_F(UnpackTest, WithoutVerificationNoHashFileIsNeeded) {
  TestImage image;
  image.records = {Partition("a", 5, 0x40, 8, 4)};
  WriteImage(image, false);
  ASSERT_TRUE(Unpack(false));
  EXPECT_EQ(OutputFiles(), (std::set<std::string>{"a.img", "setting.ini"}));
}

// Names become file names inside the output directory and lines of
// "setting.ini": anything that could leave the directory or break a line is
// refused before the record is extracted.
TEST_F(UnpackTest, PartitionNamesThatAreNotPlainFileNamesAreRefused) {
  std::vector<std::vector<uint8_t>> names;
  for (const std::string name :
       {"a/b", "../escape", "..", ".", "", "a\nb", "a\\b", "x\r", "del\x7f"}) {
    names.push_back(NameBytes(name));
  }
  names.push_back(std::vector<uint8_t>(32, 'x'));  // no terminator
  for (const auto& name : names) {
    SCOPED_TRACE(std::string(name.begin(), name.end()));
    fs::remove_all(outDir);
    fs::create_directory(outDir);
    out.Clear();
    TestImage image;
    TestRecord bad = Partition("", 5, 0x48, 8, 4);
    bad.name = name;
    image.records = {VendorRecord(), Partition("first", 5, 0x40, 8, 4), bad};
    WriteImage(image);
    EXPECT_FALSE(Unpack());
    EXPECT_EQ(out.Text(),
              std::string(kStart) +
                  "Saving first.img...\r\n"
                  "UnPacking Error:Name of partition record 2 is not a plain file name!\r\n");
    EXPECT_EQ(OutputFiles(), std::set<std::string>{"first.img"});
    EXPECT_FALSE(fs::exists(dir / "escape.img"));
  }
}

// Hostile tables are refused as a whole, quickly, before anything is written.
// The one record's payload runs past the image's end, so an unpacker that
// went on to the records would stop at once with another message instead of
// extracting millions of files.
TEST_F(UnpackTest, TablesOutsideTheImageAreRefused) {
  struct Case {
    uint32_t tableSector;
    uint32_t entrySize;
    uint32_t entryCount;
    std::string message;
  };
  const std::string cutOff =
      "UnPacking Error:Partition table is cut off by the end of the firmware, ";
  const std::string beyond = "UnPacking Error:Partition table lies beyond 4 GiB, ";
  for (const Case& c : {
           Case{1, 128, 5000000, cutOff + "entryCount=5000000, entrySize=128!\r\n"},
           Case{1, 128, 0xFFFFFFFF, beyond + "entryCount=4294967295, entrySize=128!\r\n"},
           Case{1, 0, 3000000, "UnPacking Error:Partition records overlap, entrySize=0!\r\n"},
           Case{1, 64, 2, "UnPacking Error:Partition records overlap, entrySize=64!\r\n"},
           Case{1, 127, 2, "UnPacking Error:Partition records overlap, entrySize=127!\r\n"},
           Case{1, 0x80000000, 3, beyond + "entryCount=3, entrySize=2147483648!\r\n"},
           Case{1, 0xFFFFFFFF, 0xFFFFFFFF,
                beyond + "entryCount=4294967295, entrySize=4294967295!\r\n"},
           Case{0x800000, 128, 1, beyond + "entryCount=1, entrySize=128!\r\n"},
           Case{0x7FFFFF, 128, 5, beyond + "entryCount=5, entrySize=128!\r\n"},
           Case{200, 128, 1, cutOff + "entryCount=1, entrySize=128!\r\n"},
       }) {
    SCOPED_TRACE(c.message);
    out.Clear();
    TestImage image;
    image.tableSector = c.tableSector < 64 ? c.tableSector : 1;
    image.entrySize = c.entrySize;
    image.records = {Partition("a", 5, 0x40, 8, image.minLength)};
    image.overrideCount = true;
    image.entryCount = c.entryCount;
    auto bytes = image.Build();
    PutLe(bytes, 0x14, c.tableSector, 4);
    WriteBytes(imagePath, bytes);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(Unpack(false));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(out.Text(), kStart + c.message);
    EXPECT_TRUE(OutputFiles().empty());
  }
}

TEST_F(UnpackTest, SingleRecordMayHaveAnyRecordSize) {
  TestImage image;
  image.entrySize = 0;
  image.records = {Partition("a", 5, 0x40, 8, 4)};
  WriteImage(image);
  ASSERT_TRUE(Unpack());
  EXPECT_EQ(OutputFiles(), (std::set<std::string>{"a.img", "setting.ini"}));
}

// A payload must lie wholly inside the image; the check comes before the
// file is created, so no short file is left behind.
TEST_F(UnpackTest, PayloadsPastTheEndOfTheImageAreRefused) {
  struct Case {
    TestRecord record;
    std::string file;
    std::string error;
  };
  const uint64_t length = 0x10000;
  const std::string pastEnd = " runs past the end of the firmware!\r\n";
  for (const Case& c : {
           Case{Partition("p", 5, 0x40, 8, length - 0x40 * 512 + 1), "p.img", pastEnd},
           Case{Partition("p", 5, 0x800000, 8, 16), "p.img", " lies beyond 4 GiB!\r\n"},
           Case{Partition("p", 5, 0x7FFFFF, 8, 1024), "p.img", " lies beyond 4 GiB!\r\n"},
           Case{Partition("p", 5, 0x40, 8, 0xFFFF0000), "p.img", pastEnd},
           Case{Partition("p", 5, 0x40, 8, 0xFFFFFFFF), "p.img", " lies beyond 4 GiB!\r\n"},
           Case{BootRecord(0x40, 0x400, 12 * 512, 0, 2048, length), "flashboot.bin", pastEnd},
           Case{BootRecord(0x40, 0x400, 12 * 512, 1, length, 2048), "nanoboot1.bin", pastEnd},
       }) {
    SCOPED_TRACE(c.file);
    fs::remove_all(outDir);
    fs::create_directory(outDir);
    out.Clear();
    TestImage image;
    image.minLength = length;
    image.records = {c.record};
    WriteImage(image);
    EXPECT_FALSE(Unpack());
    // Refused before any file is written, so no "Saving" line either.
    EXPECT_EQ(out.Text(), std::string(kStart) + "UnPacking Error:Data of " + c.file + c.error);
    EXPECT_FALSE(fs::exists(outDir + "/" + c.file));
    EXPECT_FALSE(fs::exists(outDir + "/setting.ini"));
  }
}

TEST_F(UnpackTest, PayloadEndingAtTheImageEndAndEmptyPayloadsAnywhereAreExtracted) {
  const uint64_t length = 0x10000;
  const auto tail = RandomBytes(length - 0x40 * 512, 21);
  TestImage image;
  image.minLength = length;
  // A skipped partition has no payload and may lie far past the image's end.
  image.records = {Partition("p", 5, 0x40, 0x40, tail.size()),
                   Partition("skipped", 5, 0x900000, 8, 0, 0x1)};
  image.Place(0x40 * 512, tail);
  WriteImage(image);
  ASSERT_TRUE(Unpack());
  EXPECT_EQ(OutputFile("p.img"), tail);
  EXPECT_TRUE(OutputFile("skipped.img").empty());
}

TEST_F(UnpackTest, FailedExtractionKeepsEarlierFilesAndWritesNoSettings) {
  TestImage image;
  image.records = {Partition("first", 5, 0x40, 8, 4), Partition("../second", 5, 0x40, 8, 4)};
  image.Place(0x40 * 512, {1, 2, 3, 4});
  WriteImage(image);
  EXPECT_FALSE(Unpack());
  EXPECT_EQ(OutputFiles(), std::set<std::string>{"first.img"});
  EXPECT_EQ(OutputFile("first.img"), (std::vector<uint8_t>{1, 2, 3, 4}));
}

// The digest is checked beside the extraction. Whatever the extraction met
// first, the run must show and leave exactly what checking first would:
// with a mismatch nothing but the mismatch, with a match the messages and
// files in their order, however many files are held back meanwhile.
TEST_F(UnpackTest, VerifyingBesideTheExtractionShowsAndLeavesWhatVerifyingFirstWould) {
  TestImage many;
  for (int i = 0; i < 12; ++i) {
    many.records.push_back(Partition("p" + std::to_string(i), 5, 0x40 + 8 * i, 8, 100 + i));
    many.Place((0x40 + 8 * i) * 512, RandomBytes(100 + i, i));
  }
  TestImage failing;
  failing.records = {Partition("a", 5, 0x40, 8, 4), Partition("b", 5, 0x48, 8, 4),
                     Partition("../up", 5, 0x48, 8, 4), Partition("c", 5, 0x50, 8, 4)};
  failing.Place(0x50 * 512, {1, 2, 3, 4});
  const struct {
    const char* what;
    const TestImage& image;
    bool ok;
    std::set<std::string> left;  // besides setting.ini on success
    std::string blocker;         // a directory under this name refuses the rename
  } cases[] = {
      {"more files than are held back", many, true, {}, ""},
      {"an extraction that fails", failing, false, {"a.img", "b.img"}, ""},
      {"a rename refused by a directory", failing, false, {"a.img", "b.img"}, "b.img"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteImage(c.image);
    // What checking the digest first and then extracting shows and leaves.
    fs::remove_all(outDir);
    fs::create_directory(outDir);
    if (!c.blocker.empty()) fs::create_directory(outDir + "/" + c.blocker);
    out.Clear();
    EXPECT_EQ(Unpack(false), c.ok);
    const std::string plain = out.Text();
    const std::set<std::string> plainFiles = OutputFiles();

    fs::remove_all(outDir);
    fs::create_directory(outDir);
    if (!c.blocker.empty()) fs::create_directory(outDir + "/" + c.blocker);
    out.Clear();
    EXPECT_EQ(Unpack(true), c.ok);
    EXPECT_EQ(out.Text(), plain);
    EXPECT_EQ(OutputFiles(), plainFiles);
    if (c.blocker.empty() && !c.ok) {
      EXPECT_EQ(OutputFiles(), c.left);
    }

    // A mismatch shows only itself and leaves nothing, however far the
    // extraction had got.
    fs::remove_all(outDir);
    fs::create_directory(outDir);
    WriteBytes(dir / "fw.md5", std::vector<uint8_t>(16, 0));
    out.Clear();
    EXPECT_FALSE(Unpack(true));
    EXPECT_EQ(out.Text().find("Saving"), std::string::npos) << out.Text();
    EXPECT_NE(out.Text().find("UnPacking Error:compare hash failed!\r\n"), std::string::npos);
    EXPECT_TRUE(OutputFiles().empty());
  }
}

// An image kept in the output directory under the name of an output file
// must not lose that name to its own extraction.
TEST_F(UnpackTest, OutputFileNamedLikeTheImageIsRefused) {
  TestImage image;
  image.records = {Partition("a", 5, 0x40, 8, 4)};
  const auto bytes = image.Build();
  for (const std::string name : {"a.img", "setting.ini"}) {
    SCOPED_TRACE(name);
    fs::remove_all(outDir);
    fs::create_directory(outDir);
    out.Clear();
    imagePath = outDir + "/" + name;
    WriteBytes(imagePath, bytes);
    EXPECT_FALSE(Unpack(false));
    EXPECT_EQ(ReadBytes(imagePath), bytes);
    const std::string message = name == "a.img"
                                    ? "Creating a.img would overwrite the firmware!\r\n"
                                    : "Saving setting.ini would overwrite the firmware!\r\n";
    EXPECT_TRUE(out.Text().ends_with("UnPacking Error:" + message)) << out.Text();
  }
  // A link in the output directory that leads to the image is only a name:
  // it is replaced, and the image stays as it was.
  fs::remove_all(outDir);
  fs::create_directory(outDir);
  imagePath = dir / "fw.img";
  WriteBytes(imagePath, bytes);
  fs::create_symlink(imagePath, outDir + "/a.img");
  out.Clear();
  EXPECT_TRUE(Unpack(false)) << out.Text();
  EXPECT_EQ(ReadBytes(imagePath), bytes);
  EXPECT_FALSE(fs::is_symlink(outDir + "/a.img"));
  EXPECT_EQ(OutputFile("a.img"), Slice(bytes, 0x40 * 512, 4));
}

// While alive, no file of this process may grow beyond `bytes`; the signal
// such a write would raise is ignored, as the program ignores it, so the
// write fails with EFBIG like a write to a full disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &previous_);
    rlimit limit = previous_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, previousHandler_);
  }

 private:
  rlimit previous_{};
  void (*previousHandler_)(int) = nullptr;
};

// A failed write names the file and leaves neither it nor a temporary file
// behind; the files completed before it stay.
TEST_F(UnpackTest, FailedWritesAreReported) {
  TestImage image;
  image.records = {Partition("system", 5, 0x40, 8, 1000)};
  WriteImage(image);
  {
    FileSizeLimit limit(500);
    EXPECT_FALSE(Unpack());
  }
  EXPECT_EQ(out.Text(),
            std::string(kStart) +
                "Saving system.img...\r\nUnPacking Error:Writing system.img failed, err=27!\r\n");
  EXPECT_TRUE(OutputFiles().empty());

  // The settings file is longer than the payload: the payload is written,
  // the settings file is not.
  image.records = {Partition("system", 5, 0x40, 8, 10)};
  WriteImage(image);
  out.Clear();
  {
    FileSizeLimit limit(100);
    EXPECT_FALSE(Unpack());
  }
  EXPECT_EQ(out.Text(),
            std::string(kStart) +
                "Saving system.img...\r\nUnPacking Error:Saving setting.ini failed!\r\n");
  EXPECT_EQ(OutputFiles(), std::set<std::string>{"system.img"});
}

TEST_F(UnpackTest, OutputDirectoryProblemsAreReported) {
  TestImage image;
  WriteImage(image);
  WriteText(dir / "plain", "x");
  struct Case {
    std::string outputDir;
    std::string message;
  };
  for (const Case& c : {Case{"", "UnPacking Error:Output directory is empty!\r\n"},
                        Case{dir / "missing", "UnPacking Error:Stat " + (dir / "missing") +
                                                  "/ failed, errno=2!\r\n"},
                        Case{dir / "missing/", "UnPacking Error:Stat " + (dir / "missing") +
                                                   "/ failed, errno=2!\r\n"},
                        Case{dir / "plain", "UnPacking Error:Stat " + (dir / "plain") +
                                                "/ failed, errno=20!\r\n"}}) {
    SCOPED_TRACE(c.outputDir);
    out.Clear();
    EXPECT_FALSE(UnpackFirmware(imagePath, c.outputDir, true, out));
    EXPECT_EQ(out.Text(), kStart + c.message);
  }

  out.Clear();
  EXPECT_FALSE(UnpackFirmware(dir / "absent.img", outDir, true, out));
  EXPECT_EQ(out.Text(), std::string(kStart) + "UnPacking Error:Stat " + (dir / "absent.img") +
                            " failed, errno=2!\r\n");
}

TEST_F(UnpackTest, OutputPathMustBeAnEnterableDirectory) {
  WriteText(dir / "plain", "x");
  EXPECT_FALSE(CheckOutputDirectory(dir / "plain", out));
  EXPECT_EQ(out.Text(),
            "UnPacking Error:Changing to " + (dir / "plain") + " failed, errno=20!\r\n");
  out.Clear();
  EXPECT_TRUE(CheckOutputDirectory(outDir + "/", out));
  EXPECT_EQ(out.Text(), "");
}

// The command line maps a failed unpack to exit code 4 and reads the fourth
// argument as the verification switch.
TEST_F(UnpackTest, CommandLineExitCodesAndVerificationSwitch) {
  TestImage image;
  image.records = {Partition("a", 5, 0x40, 8, 4)};
  WriteImage(image, false);

  RunResult run = RunImgweld({"-U", "fw.img", "out"}, dir.Path().string());
  EXPECT_EQ(run.exitCode, 4);
  EXPECT_EQ(run.output, std::string(kStart) + "UnPacking Error:Opening fw.md5 failed, err=2!\r\n");

  run = RunImgweld({"-U", "fw.img", "out", "off"}, dir.Path().string());
  EXPECT_EQ(run.exitCode, 4);

  run = RunImgweld({"-u", "fw.img", "out", "OffCheck"}, dir.Path().string());
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.output, std::string(kStart) + "Saving a.img...\r\n" + kDone);
  EXPECT_EQ(OutputFiles(), (std::set<std::string>{"a.img", "setting.ini"}));

  // The hash path is cut at the last point anywhere in the path.
  WriteBytes(dir / "fw", image.Build());
  run = RunImgweld({"-U", "./fw", "out"}, dir.Path().string());
  EXPECT_EQ(run.exitCode, 4);
  EXPECT_EQ(run.output, std::string(kStart) + "UnPacking Error:Opening .md5 failed, err=2!\r\n");

  WriteBytes(dir / "fw.img", {'G', 'P', 'T', 0});
  run = RunImgweld({"-U", "fw.img", "out", "offcheck"}, dir.Path().string());
  EXPECT_EQ(run.exitCode, 4);
  EXPECT_EQ(run.output,
            std::string(kStart) + "UnPacking Error:Tag of firmware is wrong, tag=0x545047!\r\n");
}

}  // namespace
}  // namespace imgweld::test
