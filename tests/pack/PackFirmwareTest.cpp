#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <tuple>

#include "image/Checksums.h"
#include "pack/PackFirmware.h"
#include "pack/PackTestSupport.h"
#include "support/TestSupport.h"

namespace imgweld::test {
namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

// One record of the table as stored.
struct Record {
  std::string name;
  uint32_t type, offset, size;
  uint64_t dataLength;
  uint32_t flag;
  Bytes tail;  // bytes 0x38 to 0x7F
};

Record RecordAt(const Bytes& image, size_t index) {
  const size_t at = 0x200 + 128 * index;
  const std::string name = Text(image, at, 32);
  return {name.substr(0, name.find('\0')), Le32(image, at + 0x20), Le32(image, at + 0x24),
          Le32(image, at + 0x28),          Le64(image, at + 0x2C), Le32(image, at + 0x34),
          Slice(image, at + 0x38, 72)};
}

class PackFirmwareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(cfgDir_);
    fs::create_directories(outDir_);
    ddr_ = RandomBytes(4096, 1);
    loader_ = RandomBytes(10000, 2);
    WriteBytes(cfgDir_ + "/ddr.bin", ddr_);
    WriteBytes(cfgDir_ + "/loader.bin", loader_);
  }

  bool Pack(const std::string& config, const std::string& savingDir) {
    WriteText(cfgPath_, config);
    return PackFirmware(cfgPath_, savingDir, out_, FixedPackTime());
  }
  bool Pack(const std::string& config) { return Pack(config, outDir_); }

  std::string System(const std::string& extra = "") const {
    return "[System]\nFwVersion=1.2.3\nChip=AB\nModel=test board\n" + extra;
  }
  static std::string BootPart(int number = 1) {
    return PartSection(number, "IDBlock", "0x2", "0x40", "0x800", "0", "ddr.bin,loader.bin");
  }

  TempDir root_;
  std::string cfgDir_ = root_ / "cfg";
  std::string cfgPath_ = cfgDir_ + "/setting.ini";
  std::string outDir_ = root_ / "out";
  std::string imagePath_ = outDir_ + "/Firmware.img";
  std::string hashPath_ = outDir_ + "/Firmware.md5";
  Bytes ddr_, loader_;
  StringOutput out_;
};

TEST_F(PackFirmwareTest, TaggedImageWithBackupBlockDecodes) {
  const Bytes kernel = RandomBytes(1000, 3);
  WriteBytes(cfgDir_ + "/kernel.img", kernel);
  ASSERT_TRUE(Pack(System("FILL_BYTE=0xFF\nBackup_Partition_Enable=1\n") + BootPart() +
                   PartSection(2, "kernel", "0x5", "0x2000", "0x800", "0", "kernel.img") +
                   "Type_Guid=linux\n"))
      << out_.Text();
  EXPECT_EQ(out_.Text(),
            "name=IDBlock, offset=40, size=800, type=2, flag=0\r\n"
            "name=kernel, offset=2000, size=800, type=5, flag=0\r\n"
            "Writing vendor...\r\n"
            "Writing idblock...\r\n"
            "Adding kernel ...\r\n"
            "Writing metadata ...\r\n"
            "Generating hash file...\r\n"
            "Generating firmware OK.\r\n");

  const Bytes image = ReadBytes(imagePath_);
  const uint32_t imageSectors = 0x2800;
  ASSERT_EQ(image.size(), imageSectors * 512u + 4096);
  EXPECT_EQ(Text(image, 0, 4), "ZVFP");
  EXPECT_EQ(Slice(image, 4, 8), (Bytes{0xE8, 0x07, 0x03, 0x05, 0x0E, 0x07, 0x09, 0x00}));
  EXPECT_EQ(Le32(image, 0x0C), 0x01020003u);
  EXPECT_EQ(Le32(image, 0x10), 512u);
  EXPECT_EQ(Le32(image, 0x14), 1u);
  EXPECT_EQ(Le32(image, 0x18), imageSectors);
  EXPECT_EQ(Le32(image, 0x1C), 128u);
  EXPECT_EQ(Le32(image, 0x20), 3u);
  EXPECT_EQ(Le32(image, 0x24), imageSectors * 512 + 4096);
  EXPECT_EQ(image[0x28], 0);
  EXPECT_EQ(Slice(image, 0x29, 4), (Bytes{'A', 'B', 0, 0}));
  EXPECT_EQ(Text(image, 0x2D, 32), std::string("test board") + std::string(22, '\0'));
  EXPECT_TRUE(AllBytesAre(image, 0x4D, 0x1F8 - 0x4D, 0));
  EXPECT_EQ(Le32(image, 0x1F8), RefCrc32Msb(Slice(image, 0x200, 3 * 128)));
  EXPECT_EQ(Le32(image, 0x1FC), RefCrc32Msb(Slice(image, 0, 0x1FC)));

  const Record vendor = RecordAt(image, 0);
  EXPECT_EQ(vendor.name, "vendor");
  EXPECT_EQ(std::tie(vendor.type, vendor.offset, vendor.size, vendor.dataLength, vendor.flag),
            std::make_tuple(1u, 8u, 56u, uint64_t{0x7000}, 1u));
  EXPECT_EQ(vendor.tail, Bytes(72, 0));
  const Record boot = RecordAt(image, 1);
  EXPECT_EQ(boot.name, "IDBlock");
  EXPECT_EQ(std::tie(boot.type, boot.offset, boot.size, boot.dataLength, boot.flag),
            std::make_tuple(2u, 0x40u, 0x800u, uint64_t{16384}, 0u));
  EXPECT_EQ(boot.tail[0], 0);             // standard layout
  EXPECT_EQ(Le32(boot.tail, 1), 4096u);   // DDR program length
  EXPECT_EQ(Le32(boot.tail, 5), 10000u);  // loader length
  const Record kernelRecord = RecordAt(image, 2);
  EXPECT_EQ(kernelRecord.name, "kernel");
  EXPECT_EQ(std::tie(kernelRecord.type, kernelRecord.offset, kernelRecord.size,
                     kernelRecord.dataLength, kernelRecord.flag),
            std::make_tuple(5u, 0x2000u, 0x800u, uint64_t{1000}, 0u));
  EXPECT_EQ(Text(kernelRecord.tail, 0, 6), std::string("linux\0", 6));
  EXPECT_TRUE(AllBytesAre(image, 0x200 + 3 * 128, 0x1000 - (0x200 + 3 * 128), 0));
  EXPECT_TRUE(AllBytesAre(image, 0x1000, 0x7000, 0xFF));

  // Boot block at sector 0x40 and its copy at 0x440; the kernel at 0x2000.
  Bytes bootHeader = Slice(image, 0x8000, 512);
  Rc4Crypt(bootHeader);
  EXPECT_EQ(Le32(bootHeader, 0), 0x0FF0AA55u);
  EXPECT_EQ(Slice(image, 0x440 * 512, 16384), Slice(image, 0x8000, 16384));
  EXPECT_TRUE(AllBytesAre(image, 0x8000 + 16384, 0x440 * 512 - 0x8000 - 16384, 0xFF));
  EXPECT_EQ(Slice(image, 0x400000, 1000), kernel);
  EXPECT_TRUE(AllBytesAre(image, 0x400000 + 1000, 0x500000 - 0x400000 - 1000, 0xFF));

  // The backup block is the first 4096 bytes with the header moved to the end.
  Bytes backup = Slice(image, 0x200, 0xE00);
  const Bytes header = Slice(image, 0, 512);
  backup.insert(backup.end(), header.begin(), header.end());
  EXPECT_EQ(Slice(image, image.size() - 4096, 4096), backup);

  const Bytes digest = ReadBytes(hashPath_);
  ASSERT_EQ(digest.size(), 16u);
  EXPECT_EQ(HexOf(digest), Md5sumHex(imagePath_));
}

TEST_F(PackFirmwareTest, GrowingLastPartitionEndsTheImageUnaligned) {
  WriteBytes(cfgDir_ + "/rootfs.img", RandomBytes(1000, 4));
  // The boot block asks for sector 0x10 and is moved up to sector 64.
  ASSERT_TRUE(Pack(System() +
                       PartSection(1, "IDBlock", "2", "0x10", "0x800", "0", "ddr.bin,loader.bin") +
                       PartSection(2, "misc", "8", "0x860", "0x10", "2", "") +
                       PartSection(3, "spare", "8", "0x870", "0x10", "1", "") +
                       PartSection(4, "rootfs", "8", "0x900", "0", "4", "rootfs.img"),
                   outDir_ + "/"))
      << out_.Text();
  EXPECT_EQ(out_.Text().find("Writing metadata"), std::string::npos);
  const Bytes image = ReadBytes(imagePath_);
  // The image is padded to a whole sector, so its recorded length covers
  // the payload's last bytes.
  ASSERT_EQ(image.size(), 0x902u * 512);
  EXPECT_TRUE(AllBytesAre(image, 0x900 * 512 + 1000, 24, 0));
  EXPECT_EQ(Le32(image, 0x18), 0x902u);
  EXPECT_EQ(Le32(image, 0x24), 0x902u * 512);
  EXPECT_TRUE(AllBytesAre(image, 0x860 * 512, 0x10 * 512, 0));
  EXPECT_EQ(image[0x28], 1);
  EXPECT_EQ(Le32(image, 0x20), 5u);
  EXPECT_EQ(RecordAt(image, 2).dataLength, 0u);
  EXPECT_EQ(RecordAt(image, 3).flag, 1u);
  EXPECT_EQ(RecordAt(image, 1).offset, 64u);
  Bytes bootHeader = Slice(image, 64 * 512, 512);
  Rc4Crypt(bootHeader);
  EXPECT_EQ(Le32(bootHeader, 0), 0x0FF0AA55u);
  EXPECT_EQ(Slice(image, (64 + 0x400) * 512, 16384), Slice(image, 64 * 512, 16384));
  EXPECT_EQ(RecordAt(image, 4).size, 0xFFFFFFFFu);
  EXPECT_EQ(RecordAt(image, 4).dataLength, 1000u);
  EXPECT_EQ(Le32(image, 0x1F8), RefCrc32Msb(Slice(image, 0x200, 5 * 128)));
  EXPECT_EQ(HexOf(ReadBytes(hashPath_)), Md5sumHex(imagePath_));
}

// The table area from byte 0x200 to 0x1000 holds the vendor record and 27
// partitions: 27 fill it to its last byte and still pack.
TEST_F(PackFirmwareTest, TwentySevenPartitionsFillTheTable) {
  std::string config = System("FILL_BYTE=0xA5\n") + BootPart();
  for (int n = 2; n <= 27; ++n)
    config += PartSection(n, "p" + std::to_string(n), "8", "0x900", "1", "1", "");
  ASSERT_TRUE(Pack(config)) << out_.Text();
  const Bytes image = ReadBytes(imagePath_);
  EXPECT_EQ(Le32(image, 0x20), 28u);
  EXPECT_EQ(RecordAt(image, 1).name, "IDBlock");
  const Record last = RecordAt(image, 27);  // bytes 0xF80 to 0xFFF
  EXPECT_EQ(last.name, "p27");
  EXPECT_EQ(std::tie(last.type, last.offset, last.size, last.flag),
            std::make_tuple(8u, 0x900u, 1u, 1u));
  EXPECT_EQ(Le32(image, 0x1F8), RefCrc32Msb(Slice(image, 0x200, 28 * 128)));
  EXPECT_TRUE(AllBytesAre(image, 0x1000, 0x7000, 0xA5));  // the vendor area follows intact
  EXPECT_EQ(HexOf(ReadBytes(hashPath_)), Md5sumHex(imagePath_));
}

// Key names in any letter case find their settings, and a value keeps every
// "=" after the first.
TEST_F(PackFirmwareTest, UpperCaseKeysAndValuesWithEqualsSignsReachTheImage) {
  ASSERT_TRUE(
      Pack("[SYSTEM]\nFWVERSION=1.2.3\nCHIP=AB\nMODEL=rev=B\n"
           "[USERPART1]\nNAME=IDBlock\nTYPE=0x2\nPARTOFFSET=0x40\nPARTSIZE=0x800\n"
           "FLAG=0\nFILE=ddr.bin,loader.bin\n"))
      << out_.Text();
  const Bytes image = ReadBytes(imagePath_);
  EXPECT_EQ(Text(image, 0x2D, 32), std::string("rev=B") + std::string(27, '\0'));
  const Record boot = RecordAt(image, 1);
  EXPECT_EQ(std::tie(boot.type, boot.offset, boot.size), std::make_tuple(2u, 0x40u, 0x800u));
}

TEST_F(PackFirmwareTest, FailuresReportOnceAfterTheirProgressLines) {
  WriteBytes(cfgDir_ + "/big.img", RandomBytes(8 * 512 + 1, 5));
  std::string tooMany = System() + BootPart();
  for (int n = 2; n <= 28; ++n)
    tooMany += PartSection(n, "p" + std::to_string(n), "8", "0x900", "1", "1", "");
  const struct {
    std::string name;
    std::string config;
    std::function<void()> prepare;
    std::string output;  // after the partition lines
  } cases[] = {
      {"no System", "[UserPart1]\nName=a\n", {}, "Packing Error:Getting FwVersion failed!\r\n"},
      {"no first partition", System(), {}, "Packing Error:Getting UserPart failed!\r\n"},
      {"too many partitions",
       tooMany,
       {},
       "Packing Error:too many partitions, 28 found, the table holds at most 27!\r\n"},
      {"no boot block",
       System("FILL_BYTE=0xA5\n") + PartSection(1, "misc", "8", "0x40", "8", "2", ""),
       {},
       "Writing vendor...\r\nWriting idblock...\r\nPacking Error:no found idblcok partition!\r\n"},
      {"boot block too small",
       System("FILL_BYTE=0xA5\n") +
           PartSection(1, "IDBlock", "2", "0x40", "0x3F", "0", "ddr.bin,loader.bin"),
       {},
       "Writing vendor...\r\nWriting idblock...\r\n"
       "Packing Error:idblock partition IDBlock is too small for two copies of the idblock!\r\n"},
      {"payload too large",
       System() + BootPart() + PartSection(2, "big", "8", "0x900", "8", "0", "big.img"),
       {},
       "Writing vendor...\r\nWriting idblock...\r\nAdding big ...\r\n"
       "Packing Error:file length is larger than part size, big.img\r\n"},
      {"hash file cannot be created", System() + BootPart(),
       [&] { fs::create_directory(hashPath_); },
       "Writing vendor...\r\nWriting idblock...\r\nGenerating hash file...\r\n"
       "Packing Error:Opening " +
           hashPath_ + " failed, err=21!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(outDir_);
    fs::create_directories(outDir_);
    if (c.prepare) c.prepare();
    out_.Clear();
    EXPECT_FALSE(Pack(c.config));
    const std::string& text = out_.Text();
    const size_t firstOwnLine = text.find("Writing vendor") != std::string::npos
                                    ? text.find("Writing vendor")
                                    : text.rfind("Packing Error:");
    EXPECT_EQ(text.substr(firstOwnLine), c.output);
    // Nothing of the failed run is left in the saving directory: no image,
    // no hash file, no temporary file.
    std::vector<std::string> left;
    for (const auto& item : fs::directory_iterator(outDir_)) {
      left.push_back(item.path().filename().string());
    }
    EXPECT_EQ(left,
              c.prepare ? std::vector<std::string>{"Firmware.md5"} : std::vector<std::string>{});
  }
}

TEST_F(PackFirmwareTest, FailuresBeforeTheImageLeaveNothing) {
  const std::string config = System() + BootPart();
  EXPECT_FALSE(PackFirmware(root_ / "missing.ini", outDir_, out_, FixedPackTime()));
  EXPECT_EQ(out_.Text(), "Packing Error:loading " + (root_ / "missing.ini") + " failed!\r\n");
  out_.Clear();
  EXPECT_FALSE(Pack(config, root_ / "nodir"));
  EXPECT_EQ(out_.Text(), "Packing Error:Stat " + (root_ / "nodir") + " failed,errno=2!\r\n");
  out_.Clear();
  EXPECT_FALSE(Pack(config, cfgPath_));
  EXPECT_EQ(out_.Text(), "Packing Error:invalid " + cfgPath_ + "!\r\n");
  out_.Clear();
  fs::create_directory(imagePath_);
  EXPECT_FALSE(Pack(config));
  EXPECT_EQ(out_.Text(), "Packing Error:Opening " + imagePath_ + " failed, err=21!\r\n");
  EXPECT_FALSE(fs::exists(hashPath_));
}

// Links under the output names are replaced as directory entries: the files
// they lead to stay as they were. A configuration that is the image or hash
// file the run would replace is refused before anything is written.
TEST_F(PackFirmwareTest, LinksAreReplacedAndTheConfigurationIsNeverReplaced) {
  const std::string victim = root_ / "victim";
  const std::string other = root_ / "other";
  WriteText(victim, "keep me");
  WriteText(other, "keep me too");
  fs::create_symlink(victim, imagePath_);
  fs::create_hard_link(other, hashPath_);
  ASSERT_TRUE(Pack(System() + BootPart())) << out_.Text();
  EXPECT_EQ(ReadText(victim), "keep me");
  EXPECT_EQ(ReadText(other), "keep me too");
  EXPECT_FALSE(fs::is_symlink(imagePath_));
  EXPECT_EQ(fs::hard_link_count(hashPath_), 1u);
  EXPECT_EQ(HexOf(ReadBytes(hashPath_)), Md5sumHex(imagePath_));

  for (const std::string& target : {imagePath_, hashPath_}) {
    SCOPED_TRACE(target);
    const std::string config = System() + BootPart();
    WriteText(target, config);
    out_.Clear();
    EXPECT_FALSE(PackFirmware(target, outDir_, out_, FixedPackTime()));
    EXPECT_EQ(out_.Text(), "Packing Error:" + target + " is the file " + target +
                               " that packing would replace!\r\n");
    EXPECT_EQ(ReadText(target), config);
  }
}

TEST_F(PackFirmwareTest, GptEnableChoosesTheImageForm) {
  const struct {
    std::string value;
    bool partitionTable;
  } cases[] = {{"0", true}, {"1", true}, {"2", false}, {" 1", false}, {"yes", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE("Gpt_Enable=" + c.value);
    fs::remove_all(outDir_);
    fs::create_directories(outDir_);
    out_.Clear();
    ASSERT_TRUE(Pack(System("Gpt_Enable=" + c.value + "\n") + BootPart())) << out_.Text();
    const Bytes image = ReadBytes(imagePath_);
    ASSERT_GE(image.size(), 1024u);
    if (c.partitionTable) {
      // A protective MBR and the GPT header after it, and no hash file.
      EXPECT_EQ(Le16(image, 510), 0xAA55);
      EXPECT_EQ(Text(image, 512, 8), "EFI PART");
      EXPECT_FALSE(fs::exists(hashPath_));
      EXPECT_EQ(out_.Text().find("Generating firmware OK."), std::string::npos);
    } else {
      EXPECT_EQ(Text(image, 0, 4), "ZVFP");
      EXPECT_EQ(HexOf(ReadBytes(hashPath_)), Md5sumHex(imagePath_));
      EXPECT_TRUE(out_.Text().ends_with("Generating firmware OK.\r\n"));
    }
  }
}

// Black-box runs of the executable.
class PackCommandTest : public ::testing::Test {
 protected:
  void WriteBoard(const std::string& dir) {
    fs::create_directories(dir);
    WriteBytes(dir + "/ddr.bin", RandomBytes(3000, 1));
    WriteBytes(dir + "/loader.bin", RandomBytes(9000, 2));
    WriteBytes(dir + "/kernel.img", RandomBytes(5000, 3));
    WriteText(dir + "/setting.ini",
              "[System]\nFwVersion=1.0\n" +
                  PartSection(1, "IDBlock", "2", "0x40", "0x80", "0", "ddr.bin,loader.bin") +
                  PartSection(2, "kernel", "8", "0xC0", "0x40", "0", "kernel.img"));
  }
  TempDir root_;
};

TEST_F(PackCommandTest, ConfigWithoutSlashResolvesInTheWorkingDirectoryEvenAVeryLongOne) {
  std::string dir = root_.Path().string();
  while (dir.size() < 400) dir += "/" + std::string(60, 'd');
  WriteBoard(dir);
  fs::create_directory(dir + "/out");
  const RunResult result = RunImgweld({"-P", "setting.ini", "out"}, dir);
  EXPECT_EQ(result.exitCode, 0) << result.output;
  EXPECT_TRUE(result.output.ends_with("Generating firmware OK.\r\n"));
  EXPECT_EQ(HexOf(ReadBytes(dir + "/out/Firmware.md5")), Md5sumHex(dir + "/out/Firmware.img"));
}

TEST_F(PackCommandTest, RelativeFileNamesResolveBesideTheConfiguration) {
  WriteBoard(root_ / "board");
  fs::create_directory(root_ / "out");
  // Started elsewhere: the payloads are found beside the configuration.
  const RunResult result = RunImgweld({"-P", "board/setting.ini", "out/"}, root_.Path().string());
  EXPECT_EQ(result.exitCode, 0) << result.output;
  EXPECT_EQ(ReadBytes(root_ / "out/Firmware.img").size(), 0xC0u * 512 + 0x40 * 512);

  const RunResult failed = RunImgweld({"-P", "board/missing.ini", "out"}, root_.Path().string());
  EXPECT_EQ(failed.exitCode, 3);
  EXPECT_EQ(failed.output, "Packing Error:loading board/missing.ini failed!\r\n");
}

TEST_F(PackCommandTest, TheExampleBoardPacks) {
  const RunResult result =
      RunImgweld({"-P", SourceDir() + "/examples/board/setting.ini", root_.Path().string()});
  EXPECT_EQ(result.exitCode, 0) << result.output;
  EXPECT_TRUE(result.output.ends_with("Generating firmware OK.\r\n"));
}

}  // namespace
}  // namespace imgweld::test
