// Black-box tests of the rebuild promise and of reproducible dates: for
// every kind of tagged image -P makes, -U, then "-L <image> ini" saved into
// the unpack directory, then -P gives the same Firmware.img and Firmware.md5,
// byte for byte: the configuration's Date key dates the header.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>

#include "cli/InspectTestSupport.h"
#include "pack/PackTestSupport.h"
#include "support/TestSupport.h"

namespace imgweld::test {
namespace {

namespace fs = std::filesystem;

std::string Section(int number, const std::string& body) {
  return "[UserPart" + std::to_string(number) + "]\n" + body;
}

const std::string kBoot = "Name=IDBlock\nType=0x2\nPartOffset=0x40\nPartSize=0x80\nFlag=0\n";

struct Case {
  const char* name;
  std::string system;      // lines of [System] besides FwVersion, Chip and Model
  std::string partitions;  // the partition sections
  size_t ddrLength = 3000;
  size_t loaderLength = 9000;
  // How the first pack is dated: SOURCE_DATE_EPOCH, or the local clock in a
  // zone east of UTC when empty.
  std::string epoch = "1709647629";
};

std::vector<Case> Cases() {
  const std::string boot = Section(1, kBoot + "File=ddr.bin,loader.bin\n");
  const std::string payloads =
      Section(2, "Name=uboot\nType=0x8\nPartOffset=0xC0\nPartSize=0x40\nFlag=0\nFile=a.bin\n") +
      Section(3, "Name=misc\nType=0x8\nPartOffset=0x100\nPartSize=0x20\nFlag=2\n") +
      Section(4, "Name=spare\nType=0x8\nPartOffset=0x120\nPartSize=0x40\nFlag=1\n") +
      Section(5, "Name=rootfs\nType=0x305\nPartOffset=0x160\nPartSize=0\nFlag=4\nFile=b.bin\n");
  return {
      {"standard, scrambled, backup, fill 0xFF, skip/fill/grow",
       "FILL_BYTE=0xFF\nBackup_Partition_Enable=1\n", boot + payloads},
      {"standard, plain programs and sectors, no backup, fill 0",
       "Loader_Encrypt=0\nIDB_Boot_Encrypt=0\n", boot + payloads},
      {"standard, programs plain, sectors scrambled, gap mode", "Loader_Encrypt=0\nBLANK_GAP=1\n",
       boot + payloads},
      {"Nano, scrambled, gap mode, fill 0x5A, backup",
       "Nano=1\nBLANK_GAP=1\nFILL_BYTE=0x5A\nBackup_Partition_Enable=1\n", boot + payloads, 4096,
       5000},
      {"Nano, programs scrambled, sectors plain, short DDR program", "Nano=1\nIDB_Boot_Encrypt=0\n",
       boot + payloads, 700, 100},
      {"empty DDR program, loader of one 2048-byte unit", "FILL_BYTE=7\n", boot + payloads, 0,
       2048},
      // Unsorted partitions, a growing partition that is not the last, Type_Guid
      // texts, and a boot block record whose long Type_Guid outlives its boot
      // fields.
      {"unsorted, growing middle partition, Type_Guid texts", "FILL_BYTE=0x11\n",
       Section(1,
               "Name=tail\nType=0x8\nPartOffset=0x200\nPartSize=0x10\nFlag=0\nFile=a.bin\n"
               "Type_Guid=linux\n") +
           Section(2, kBoot + "File=ddr.bin,loader.bin\nType_Guid=board-boot-loader\n") +
           Section(3,
                   "Name=kernel\nType=0x8\nPartOffset=0xC0\nPartSize=0x10\nFlag=4\n"
                   "File=b.bin\n")},
      // A growing fill partition that ends the table loses its size: once where
      // it extends the image, once where another partition lies after it.
      {"growing fill partition last, extending the image", "FILL_BYTE=0xFF\n",
       boot +
           Section(2,
                   "Name=data\nType=0x8\nPartOffset=0xC0\nPartSize=0x40\nFlag=0\n"
                   "File=a.bin\n") +
           Section(3, "Name=pad\nType=0x8\nPartOffset=0x110\nPartSize=0x30\nFlag=6\n")},
      {"growing fill partition last, inside the image", "Backup_Partition_Enable=1\n",
       boot +
           Section(2,
                   "Name=data\nType=0x8\nPartOffset=0x110\nPartSize=0x40\nFlag=0\n"
                   "File=a.bin\n") +
           Section(3, "Name=pad\nType=0x8\nPartOffset=0xC0\nPartSize=0x30\nFlag=6\n")},
      {"growing skipped partition last", "",
       boot + Section(2, "Name=gone\nType=0x8\nPartOffset=0xC0\nPartSize=0x30\nFlag=5\n")},
      {"dated by the local clock east of UTC", "Backup_Partition_Enable=1\n", boot + payloads, 3000,
       9000, ""},
  };
}

// The seconds on the first line of a configuration printed by -L ... ini.
std::string EpochOf(const std::string& config) {
  const std::string prefix = "# SOURCE_DATE_EPOCH=";
  if (config.rfind(prefix, 0) != 0) return "";
  return config.substr(prefix.size(), config.find('\n') - prefix.size());
}

// The names of the regular files in `dir`, sorted.
std::vector<std::string> FileNames(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> SortedLines(const std::string& text) {
  std::vector<std::string> lines = LinesStartingWith(text, "");
  std::sort(lines.begin(), lines.end());
  return lines;
}

// "-X <image> kit" succeeds, names on standard output exactly the files it
// wrote, writes `expectedConfig` as setting.ini, and the kit packs back to
// the image's bytes with no SOURCE_DATE_EPOCH.
void ExpectKitRebuilds(const TempDir& dir, const std::string& image,
                       const std::string& expectedConfig) {
  fs::remove_all(dir / "kit");
  fs::remove_all(dir / "rebuilt");
  fs::create_directory(dir / "kit");
  fs::create_directory(dir / "rebuilt");
  const Outcome kit = Imgweld({"-X", image, "kit"}, dir.Path());
  ASSERT_EQ(kit.exitCode, 0) << kit.err;
  EXPECT_EQ(SortedLines(kit.out), FileNames(dir / "kit"));
  EXPECT_EQ(ReadText(dir / "kit/setting.ini"), expectedConfig);
  const Outcome packed = Imgweld({"-P", "kit/setting.ini", "rebuilt"}, dir.Path(), "TZ=EST5");
  ASSERT_EQ(packed.exitCode, 0) << packed.out;
  EXPECT_EQ(ReadBytes(dir / "rebuilt/Firmware.img"), ReadBytes(dir / image));
}

TEST(RebuildTest, EveryTaggedImageRebuildsByteForByte) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string source = dir / "source";
    const std::string first = dir / "first";
    const std::string parts = dir / "parts";
    const std::string second = dir / "second";
    for (const std::string& path : {source, first, parts, second}) fs::create_directory(path);
    WriteBytes(source + "/ddr.bin", RandomBytes(c.ddrLength, 1));
    WriteBytes(source + "/loader.bin", RandomBytes(c.loaderLength, 2));
    WriteBytes(source + "/a.bin", RandomBytes(5000, 3));
    WriteBytes(source + "/b.bin", RandomBytes(1001, 4));
    WriteText(source + "/setting.ini", "[System]\nFwVersion=3.2.1\nChip=RB\nModel=rebuild " +
                                           std::string(c.name) + "\n" + c.system + c.partitions);

    const std::string dating =
        c.epoch.empty() ? "TZ=JST-9" : "TZ=JST-9 SOURCE_DATE_EPOCH=" + c.epoch;
    const Outcome packed = Imgweld({"-P", "source/setting.ini", "first"}, dir.Path(), dating);
    ASSERT_EQ(packed.exitCode, 0) << packed.out;
    ASSERT_EQ(Imgweld({"-U", "first/Firmware.img", "parts"}, dir.Path()).exitCode, 0);
    const Outcome listed = Imgweld({"-L", "first/Firmware.img", "ini"}, dir.Path());
    ASSERT_EQ(listed.exitCode, 0) << listed.out;
    const std::string epoch = EpochOf(listed.out);
    ASSERT_FALSE(epoch.empty()) << listed.out;
    if (!c.epoch.empty()) {
      EXPECT_EQ(epoch, c.epoch);
    }
    WriteText(parts + "/setting.ini", listed.out);

    // The Date key wins over the variable and the zone.
    const Outcome repacked =
        Imgweld({"-P", "parts/setting.ini", "second"}, dir.Path(), "TZ=EST5 SOURCE_DATE_EPOCH=1");
    ASSERT_EQ(repacked.exitCode, 0) << repacked.out;
    EXPECT_EQ(ReadBytes(second + "/Firmware.img"), ReadBytes(first + "/Firmware.img"));
    EXPECT_EQ(ReadBytes(second + "/Firmware.md5"), ReadBytes(first + "/Firmware.md5"));
    EXPECT_EQ(Imgweld({"-V", "second/Firmware.img"}, dir.Path()).exitCode, 0);

    // -X writes the same files and configuration in one step, and its kit
    // packs with no variable set.
    ExpectKitRebuilds(dir, "first/Firmware.img", listed.out);
  }
}

struct GptCase {
  const char* name;
  std::string system;      // lines of [System] besides the type GUIDs' section
  std::string partitions;  // the partition sections
  size_t ddrLength = 3000;
  size_t loaderLength = 9000;
};

const std::string kTypes =
    "[PARTITION_TYPE_GUID]\nlinux=0FC63DAF-8483-4772-8E79-3D69D8477DE4\n"
    "loader=A60B0000-1C2D-4E5F-9A0B-1C2D3E4F5A6B\n";

std::vector<GptCase> GptCases() {
  const std::string boot = Section(1, kBoot + "File=ddr.bin,loader.bin\nType_Guid=loader\n");
  const std::string payloads =
      Section(2,
              "Name=uboot\nType=0x8\nPartOffset=0xC0\nPartSize=0x40\nFlag=0\nFile=a.bin\n"
              "Type_Guid=linux\n") +
      Section(3, "Name=misc\nType=0x8\nPartOffset=0x100\nPartSize=0x20\nFlag=2\n") +
      Section(4, "Name=spare\nType=0x8\nPartOffset=0x120\nPartSize=0x40\nFlag=1\n") +
      Section(5, "Name=rootfs\nType=0x8\nPartOffset=0x160\nPartSize=0x40\nFlag=0\nFile=b.bin\n");
  const std::string growing =
      Section(5, "Name=rootfs\nType=0x8\nPartOffset=0x160\nPartSize=0\nFlag=4\nFile=b.bin\n");
  const std::string head = payloads.substr(0, payloads.find("[UserPart5]"));
  return {
      {"padded, backup GPT, fill 0xFF", "Gpt_Enable=0\nBackup_Partition_Enable=1\nFILL_BYTE=0xFF\n",
       boot + payloads},
      {"padded, no backup, plain programs and sectors",
       "Gpt_Enable=0\nLoader_Encrypt=0\nIDB_Boot_Encrypt=0\n", boot + payloads},
      {"padded, Nano, gap mode, short DDR program",
       "Gpt_Enable=0\nBackup_Partition_Enable=1\nNano=1\nBLANK_GAP=1\nFILL_BYTE=0x5A\n",
       boot + payloads, 700, 5000},
      {"padded, Nano, plain sectors, DDR of whole blocks",
       "Gpt_Enable=0\nNano=1\nIDB_Boot_Encrypt=0\n", boot + payloads, 1024, 100},
      {"padded, gap mode, programs plain, empty DDR program",
       "Gpt_Enable=0\nBLANK_GAP=1\nLoader_Encrypt=0\n", boot + payloads, 0, 2048},
      {"padded, growing last partition, backup GPT",
       "Gpt_Enable=0\nBackup_Partition_Enable=1\nFILL_BYTE=7\n", boot + head + growing},
      {"padded, growing fill partition last", "Gpt_Enable=0\nFILL_BYTE=0x11\n",
       boot + head + Section(5, "Name=pad\nType=0x8\nPartOffset=0x160\nPartSize=0x30\nFlag=6\n")},
      {"compact, backup flag set", "Gpt_Enable=1\nBackup_Partition_Enable=1\nFILL_BYTE=0xFF\n",
       boot + payloads},
      {"compact, Nano, growing last partition", "Gpt_Enable=1\nNano=1\n", boot + head + growing,
       4096, 3000},
      // List order is not sector order, no partition has a boot block, and
      // the second partition of a name is extracted as head.img.2.
      {"unsorted, no boot block, a name twice", "Gpt_Enable=0\nFILL_BYTE=1\n",
       Section(1,
               "Name=tail\nType=0x8\nPartOffset=0x200\nPartSize=0x10\nFlag=0\nFile=a.bin\n"
               "Type_Guid=linux\n") +
           Section(2, "Name=head\nType=0x8\nPartOffset=0x40\nPartSize=0x40\nFlag=0\nFile=b.bin\n") +
           Section(3, "Name=head\nType=0x8\nPartOffset=0x90\nPartSize=0x20\nFlag=0\nFile=a.bin\n")},
  };
}

// A partition-table image of every layout -P makes: -L ini prints the kit's
// configuration, and the kit packs back to the same bytes.
TEST(RebuildTest, EveryPartitionTableImageRebuildsByteForByte) {
  for (const GptCase& c : GptCases()) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    fs::create_directory(dir / "source");
    fs::create_directory(dir / "first");
    WriteBytes(dir / "source/ddr.bin", RandomBytes(c.ddrLength, 1));
    WriteBytes(dir / "source/loader.bin", RandomBytes(c.loaderLength, 2));
    WriteBytes(dir / "source/a.bin", RandomBytes(5000, 3));
    WriteBytes(dir / "source/b.bin", RandomBytes(30000, 4));
    WriteText(dir / "source/setting.ini",
              "[System]\nFwVersion=1.0.0\n" + c.system + kTypes + c.partitions);
    const Outcome packed = Imgweld({"-P", "source/setting.ini", "first"}, dir.Path());
    ASSERT_EQ(packed.exitCode, 0) << packed.out;
    const Outcome listed = Imgweld({"-L", "first/Firmware.img", "ini"}, dir.Path());
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    EXPECT_EQ(LinesStartingWith(listed.out, "Gpt_Enable="),
              std::vector<std::string>{c.system.substr(0, 12)});
    ExpectKitRebuilds(dir, "first/Firmware.img", listed.out);
  }
}

// Copies the primary partition array into the backup GPT that ends the
// image and seals the backup header again: after an edit of the primary
// array, the backup still mirrors it and the image is not damaged.
// A little-endian 64-bit field of the image.
void Put64(std::vector<uint8_t>& image, size_t at, uint64_t value) {
  for (size_t i = 0; i < 8; ++i) image.at(at + i) = static_cast<uint8_t>(value >> (8 * i));
}

void MirrorBackupGpt(std::vector<uint8_t>& image) {
  const size_t header = image.size() - 512;
  const size_t array = header - 128 * 128;
  std::copy_n(image.begin() + 1024, 128 * 128, image.begin() + static_cast<std::ptrdiff_t>(array));
  const auto put = [&](size_t at, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) image.at(at + i) = static_cast<uint8_t>(value >> (8 * i));
  };
  put(header + 88, RefCrc32(image.data() + array, 128 * 128));
  put(header + 16, 0);
  put(header + 16, RefCrc32(image.data() + header, 92));
}

// Packs the example board's partition-table image into `dir`, beside an
// empty kit directory, and returns its bytes.
std::vector<uint8_t> PackBoardImage(const TempDir& dir) {
  fs::create_directory(dir / "kit");
  PackFixed(SourceDir() + "/examples/gpt-board/setting.ini", ".", dir.Path());
  return ReadBytes(dir / "Firmware.img");
}

// A partition-table image the packer did not make byte for byte still gets
// its files, but no setting.ini; -X fails naming the first difference.
TEST(RebuildTest, KitOfAPartitionTableImageThatCannotBeRebuiltFails) {
  TempDir dir;
  fs::create_directory(dir / "kit");
  PackFixed(SourceDir() + "/examples/gpt-board/setting.ini", ".", dir.Path());
  // A fill byte between the GPT and the boot block.
  FlipByte(dir / "Firmware.img", 0x5000);
  const Outcome kit = Imgweld({"-X", "Firmware.img", "kit"}, dir.Path());
  EXPECT_EQ(kit.exitCode, 4);
  EXPECT_NE(kit.err.find("imgweld: Firmware.img: cannot be rebuilt exactly, byte 0x5000: the "
                         "image holds 0xfe, the rebuilt image 0xff"),
            std::string::npos)
      << kit.err;
  EXPECT_EQ(SortedLines(kit.out), FileNames(dir / "kit"));
  EXPECT_EQ(FileNames(dir / "kit"),
            (std::vector<std::string>{"boot.img", "flashboot.bin", "flashdata.bin", "rootfs.img",
                                      "uboot.img"}));
  EXPECT_EQ(ReadBytes(dir / "kit/uboot.img"),
            ReadBytes(SourceDir() + "/examples/gpt-board/uboot.img"));
  const Outcome listed = Imgweld({"-L", "Firmware.img", "ini"}, dir.Path());
  EXPECT_EQ(listed.exitCode, 4);
  EXPECT_EQ(listed.out, "");

  // A name no configuration can carry (the second entry's, "u#oot"), or
  // that holds a control character ("u\toot", which would act on the
  // terminal the configuration is printed to), is refused before anything
  // is written.
  const std::vector<uint8_t> packed = ReadBytes(dir / "Firmware.img");
  for (const char byte : {'#', '\t'}) {
    SCOPED_TRACE(static_cast<int>(byte));
    fs::remove_all(dir / "kit");
    fs::create_directory(dir / "kit");
    std::vector<uint8_t> image = packed;
    image.at(1024 + 128 + 56 + 2) = static_cast<uint8_t>(byte);
    SealPrimaryGpt(image);
    MirrorBackupGpt(image);
    WriteBytes(dir / "Firmware.img", image);
    const Outcome refused = Imgweld({"-X", "Firmware.img", "kit"}, dir.Path());
    EXPECT_EQ(refused.exitCode, 4);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(LinesStartingWith(refused.err, "imgweld: "),
              std::vector<std::string>{"imgweld: Firmware.img: cannot be taken apart: the name of "
                                       "entry 2 holds text a configuration file cannot carry"});
    EXPECT_TRUE(fs::is_empty(dir / "kit"));
  }
}

// A partition-table image the packer made, damaged: no kit is worked out
// of it. -X writes nothing and -L ini prints nothing; both exit 4 with one
// line naming the first failed check, before any configuration is built
// (the payload length below once made one that named a file the kit did not
// hold). The private fields from byte 114 of the header, eight bytes per
// partition's length, lie outside its checksum.
TEST(RebuildTest, KitOfADamagedPartitionTableImageIsRefusedWithOneLine) {
  const struct {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> edit;
    std::string line;
  } cases[] = {
      {"entry 1's payload runs past the end",
       [&](std::vector<uint8_t>& image) {
         Put64(image, 512 + 114 + 8, 18446744073709549244u);
         Put64(image, image.size() - 512 + 114 + 8, 18446744073709549244u);
       },
       "cannot be taken apart: it is damaged: entry 1 uboot: 18446744073709549244 bytes of data "
       "would end at byte 0x"},
      {"the backup header does not mirror the primary",
       [&](std::vector<uint8_t>& image) { image.at(image.size() - 512 + 114) ^= 1; },
       "cannot be taken apart: it is damaged: backup gpt: header at byte 0x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    std::vector<uint8_t> image = PackBoardImage(dir);
    c.edit(image);
    WriteBytes(dir / "Firmware.img", image);
    ASSERT_EQ(Imgweld({"-V", "Firmware.img"}, dir.Path()).exitCode, 4);
    const Outcome kit = Imgweld({"-X", "Firmware.img", "kit"}, dir.Path());
    const Outcome listed = Imgweld({"-L", "Firmware.img", "ini"}, dir.Path());
    for (const Outcome& outcome : {kit, listed}) {
      EXPECT_EQ(outcome.exitCode, 4);
      EXPECT_EQ(outcome.out, "");
      const std::vector<std::string> lines = LinesStartingWith(outcome.err, "imgweld: ");
      ASSERT_EQ(lines.size(), 1u) << outcome.err;
      EXPECT_TRUE(lines[0].starts_with("imgweld: Firmware.img: " + c.line)) << lines[0];
    }
    EXPECT_TRUE(fs::is_empty(dir / "kit"));
  }
}

// The last entry of a packer's padded image placed past the usable sectors
// is no damage the kit is refused for (the packer itself places one there),
// so its files are written in turn; a payload length that takes its data
// outside the image is refused at its file, after the files before it, with
// the line -U gives such data. The lengths lie outside the header checksum.
TEST(RebuildTest, KitRefusesAPartitionTablePayloadOutsideTheImageAtItsFile) {
  // Entry 4, rootfs, at sector 0x180, is the last.
  constexpr size_t kLastEntry = 1024 + 4 * 128;
  const struct {
    const char* what;
    uint64_t lastSector;
    uint64_t length;
    std::string line;
  } cases[] = {
      {"past the end", 0x200 + 100, 0x80 * 512 + 1000000,
       "UnPacking Error:Data of rootfs.img runs past the end of the firmware!"},
      {"beyond 4 GiB", 0x900000, 0xFFFF0000,
       "UnPacking Error:Data of rootfs.img lies beyond 4 GiB!"},
      {"4 GiB or longer", 0x900000, 0x100000200,
       "UnPacking Error:Data of rootfs.img is 4 GiB or longer, dataLength=4294967808!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    std::vector<uint8_t> image = PackBoardImage(dir);
    Put64(image, kLastEntry + 40, c.lastSector);
    Put64(image, 512 + 114 + 4 * 8, c.length);
    SealPrimaryGpt(image);
    std::copy_n(image.begin() + 512 + 114, 5 * 8, image.end() - 512 + 114);
    MirrorBackupGpt(image);
    WriteBytes(dir / "Firmware.img", image);
    const Outcome kit = Imgweld({"-X", "Firmware.img", "kit"}, dir.Path());
    EXPECT_EQ(kit.exitCode, 4);
    EXPECT_EQ(kit.out, "flashdata.bin\nflashboot.bin\nuboot.img\nboot.img\n");
    EXPECT_TRUE(kit.err.ends_with("Saving rootfs.img...\r\n" + c.line + "\r\n")) << kit.err;
    EXPECT_EQ(SortedLines(kit.out), FileNames(dir / "kit"));
  }
}

// The date fields hold the moment SOURCE_DATE_EPOCH gives, in UTC whatever
// the zone, so two packs of the same inputs are the same files.
TEST(RebuildTest, SourceDateEpochMakesPacksIdentical) {
  TempDir dir;
  for (const char* out : {"utc", "tokyo", "later"}) fs::create_directory(dir / out);
  PackFixed(SourceDir() + "/examples/board/setting.ini", dir / "utc", dir.Path());
  const std::string config = SourceDir() + "/examples/board/setting.ini";
  ASSERT_EQ(Imgweld({"-P", config, "tokyo"}, dir.Path(), "TZ=JST-9 SOURCE_DATE_EPOCH=1709647629")
                .exitCode,
            0);
  EXPECT_EQ(ReadBytes(dir / "utc/Firmware.img"), ReadBytes(dir / "tokyo/Firmware.img"));
  EXPECT_EQ(ReadBytes(dir / "utc/Firmware.md5"), ReadBytes(dir / "tokyo/Firmware.md5"));
  // 1709647629 is 2024-03-05 14:07:09 UTC (23:07:09 in Tokyo).
  const std::vector<uint8_t> header = ReadBytes(dir / "tokyo/Firmware.img");
  EXPECT_EQ(std::vector<uint8_t>(header.begin() + 4, header.begin() + 12),
            (std::vector<uint8_t>{0xE8, 0x07, 3, 5, 14, 7, 9, 0}));
  // Another moment changes the date fields and the header checksum only.
  ASSERT_EQ(Imgweld({"-P", config, "later"}, dir.Path(), "SOURCE_DATE_EPOCH=1709647630").exitCode,
            0);
  const std::vector<uint8_t> later = ReadBytes(dir / "later/Firmware.img");
  ASSERT_EQ(later.size(), header.size());
  std::vector<size_t> differing;
  for (size_t i = 0; i < later.size(); ++i) {
    if (later[i] != header[i]) differing.push_back(i);
  }
  const size_t backupHeader = later.size() - 512;
  EXPECT_EQ(differing, (std::vector<size_t>{10, 0x1FC, 0x1FD, 0x1FE, 0x1FF, backupHeader + 10,
                                            backupHeader + 0x1FC, backupHeader + 0x1FD,
                                            backupHeader + 0x1FE, backupHeader + 0x1FF}));
}

TEST(RebuildTest, MalformedSourceDateEpochIsRefused) {
  TempDir dir;
  for (const char* value : {"", "-1", "1e9", "12 ", "0x10", "99999999999999999999"}) {
    for (const char* example : {"board", "gpt-board"}) {
      const Outcome packed =
          Imgweld({"-P", SourceDir() + "/examples/" + example + "/setting.ini", "."}, dir.Path(),
                  std::string("SOURCE_DATE_EPOCH=") + Quote(value));
      EXPECT_EQ(packed.exitCode, 3) << value;
      EXPECT_EQ(packed.out, std::string("Packing Error:SOURCE_DATE_EPOCH=") + value +
                                " is not a count of seconds since 1970 that the header can "
                                "hold!\r\n");
      EXPECT_TRUE(fs::is_empty(dir.Path())) << value;
    }
  }
}

// The Date key's fields go into the header as given, whatever the variable
// and the zone say; -L of the configuration shows the same date.
TEST(RebuildTest, DateKeyIsStampedAsGiven) {
  TempDir dir;
  const std::string example = ReadText(SourceDir() + "/examples/board/setting.ini");
  fs::copy(SourceDir() + "/examples/board", dir / "board", fs::copy_options::recursive);
  const size_t system = example.find("[System]\n");
  ASSERT_NE(system, std::string::npos);
  std::string dated = example;
  dated.insert(system + 9, "Date=2026-12-10 15:39:29\n");
  WriteText(dir / "board/setting.ini", dated);
  const Outcome packed =
      Imgweld({"-P", "board/setting.ini", "."}, dir.Path(), "TZ=JST-9 SOURCE_DATE_EPOCH=bad");
  ASSERT_EQ(packed.exitCode, 0) << packed.out;
  const std::vector<uint8_t> image = ReadBytes(dir / "Firmware.img");
  // 2026 is 0x07EA.
  EXPECT_EQ(std::vector<uint8_t>(image.begin() + 4, image.begin() + 12),
            (std::vector<uint8_t>{0xEA, 0x07, 12, 10, 15, 39, 29, 0}));
  const Outcome listed = Imgweld({"-L", "Firmware.img", "ini"}, dir.Path());
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  EXPECT_EQ(LinesStartingWith(listed.out, "Date="),
            std::vector<std::string>{"Date=2026-12-10 15:39:29"});
  EXPECT_EQ(LinesStartingWith(listed.out, "# SOURCE_DATE_EPOCH="),
            std::vector<std::string>{"# SOURCE_DATE_EPOCH=1796917169"});
}

// An image the packer does not make (here a byte of a gap changed) still
// gets its files, but no setting.ini, and -X fails naming why.
TEST(RebuildTest, KitOfAnImageThatCannotBeRebuiltFails) {
  TempDir dir;
  fs::create_directory(dir / "kit");
  PackFixed(SourceDir() + "/examples/board/setting.ini", ".", dir.Path());
  // Inside the vendor area, which the packer fills with one byte.
  FlipByte(dir / "Firmware.img", 0x1800);
  // The hash file no longer matches: offcheck lets -X go on to the rebuild.
  const Outcome kit = Imgweld({"-X", "Firmware.img", "kit", "offcheck"}, dir.Path());
  EXPECT_EQ(kit.exitCode, 4);
  // One line names why.
  const std::vector<std::string> lines = LinesStartingWith(kit.err, "imgweld: ");
  ASSERT_EQ(lines.size(), 1u) << kit.err;
  EXPECT_TRUE(
      lines[0].starts_with("imgweld: Firmware.img: cannot be rebuilt exactly, the vendor area"))
      << kit.err;
  EXPECT_EQ(SortedLines(kit.out), FileNames(dir / "kit"));
  EXPECT_EQ(FileNames(dir / "kit"),
            (std::vector<std::string>{"backup.img", "boot.img", "flashboot.bin", "flashdata.bin",
                                      "misc.img", "rootfs.img", "uboot.img"}));
  // -U's files are the same bytes.
  fs::create_directory(dir / "unpacked");
  ASSERT_EQ(Imgweld({"-U", "Firmware.img", "unpacked", "offcheck"}, dir.Path()).exitCode, 0);
  for (const std::string& name : FileNames(dir / "kit")) {
    EXPECT_EQ(ReadBytes(dir / ("kit/" + name)), ReadBytes(dir / ("unpacked/" + name))) << name;
  }
}

// -X runs one pipeline for both image forms: the same outcome for the same
// cause, whichever form the image has. Only the hash file sets them apart,
// since a partition-table image has none and the one beside it is not read.
TEST(RebuildTest, KitPipelineGivesBothFormsTheSameOutcomes) {
  enum class Cause { kNone, kWrongHashFile, kFillByteChanged, kNoKitDirectory };
  struct Expected {
    int exitCode;
    bool files;     // the partitions' files are written
    bool settings;  // setting.ini is written
    std::string err;
  };
  const Expected rebuilt{0, true, true, "Unpacking firmware OK.\r\n"};
  const Expected notRebuilt{4, true, false, "imgweld: Firmware.img: cannot be rebuilt exactly, "};
  const Expected noDirectory{4, false, false, "UnPacking Error:Changing to kit/ failed, errno=2!"};
  const struct {
    const char* what;
    Cause cause;
    Expected tagged;
    Expected partitionTable;
  } cases[] = {
      {"kit rebuilds the image", Cause::kNone, rebuilt, rebuilt},
      {"hash file does not match",
       Cause::kWrongHashFile,
       {4, false, false, "UnPacking Error:compare hash failed!\r\n"},
       rebuilt},
      {"a fill byte changed", Cause::kFillByteChanged, notRebuilt, notRebuilt},
      {"kit directory missing", Cause::kNoKitDirectory, noDirectory, noDirectory},
  };
  for (const auto& c : cases) {
    for (const char* example : {"board", "gpt-board"}) {
      SCOPED_TRACE(std::string(c.what) + ", " + example);
      const Expected& e = std::string(example) == "board" ? c.tagged : c.partitionTable;
      TempDir dir;
      PackFixed(SourceDir() + "/examples/" + example + "/setting.ini", ".", dir.Path());
      if (c.cause != Cause::kNoKitDirectory) fs::create_directory(dir / "kit");
      if (c.cause == Cause::kWrongHashFile) WriteBytes(dir / "Firmware.md5", RandomBytes(16, 9));
      if (c.cause == Cause::kFillByteChanged) {
        // A byte the packer fills in both forms: the vendor area, the gap
        // after the GPT. The hash file would no longer match: it goes.
        FlipByte(dir / "Firmware.img", 0x5000);
        fs::remove(dir / "Firmware.md5");
      }
      const Outcome kit = Imgweld({"-X", "Firmware.img", "kit"}, dir.Path());
      EXPECT_EQ(kit.exitCode, e.exitCode) << kit.err;
      EXPECT_NE(kit.err.find(e.err), std::string::npos) << kit.err;
      if (c.cause == Cause::kNoKitDirectory) {
        EXPECT_EQ(kit.out, "");
        EXPECT_FALSE(fs::exists(dir / "kit"));
        continue;
      }
      EXPECT_EQ(SortedLines(kit.out), FileNames(dir / "kit"));
      EXPECT_EQ(fs::exists(dir / "kit/uboot.img"), e.files);
      EXPECT_EQ(fs::exists(dir / "kit/setting.ini"), e.settings);
      if (!e.files) {
        EXPECT_TRUE(fs::is_empty(dir / "kit"));
      }
    }
  }
}

// -X refuses the header and table -U refuses, before anything is written,
// for the same reason in -U's own words: a header cut short, records closer
// than their size, more records than the table area holds.
TEST(RebuildTest, KitRefusesTheTablesUnpackRefusesForItsReason) {
  const struct {
    const char* what;
    uint64_t at;      // a header field, little-endian 32 bits
    uint32_t value;   // its new value; 0 cuts the file to 100 bytes
    const char* why;  // -U's line between "UnPacking Error:" and "!"
  } cases[] = {
      {"header cut short", 0, 0, "Header of firmware is cut short, length=100"},
      {"records overlap", 0x1C, 64, "Partition records overlap, entrySize=64"},
      {"more records than the area holds", 0x20, 40,
       "Partition table holds more records than its area, entryCount=40"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    PackFixed(SourceDir() + "/examples/board/setting.ini", ".", dir.Path());
    std::vector<uint8_t> image = ReadBytes(dir / "Firmware.img");
    if (c.value == 0) {
      image.resize(100);
    } else {
      for (int i = 0; i < 4; ++i) image[c.at + i] = static_cast<uint8_t>(c.value >> (8 * i));
    }
    WriteBytes(dir / "Firmware.img", image);
    fs::create_directory(dir / "kit");
    fs::create_directory(dir / "unpacked");
    const Outcome unpacked = Imgweld({"-U", "Firmware.img", "unpacked", "offcheck"}, dir.Path());
    EXPECT_NE(unpacked.out.find(std::string("UnPacking Error:") + c.why + "!"), std::string::npos)
        << unpacked.out;
    const Outcome kit = Imgweld({"-X", "Firmware.img", "kit", "offcheck"}, dir.Path());
    EXPECT_EQ(kit.exitCode, 4);
    EXPECT_NE(
        kit.err.find(std::string("imgweld: Firmware.img: cannot be taken apart: ") + c.why + "\n"),
        std::string::npos)
        << kit.err;
    EXPECT_EQ(kit.out, "");
    EXPECT_TRUE(fs::is_empty(dir / "kit"));
  }
}

// -X refuses a tagged image whose data -U refuses, before anything is
// written, by the same verdict: the data of a fill record past the end, of a
// partition at 4 GiB, or of 4 GiB.
TEST(RebuildTest, KitRefusesTheDataUnpackRefuses) {
  // The board's records: 3 misc (fill), 4 boot, 6 rootfs.
  const auto record = [](size_t index) { return 0x200 + 128 * index; };
  const struct {
    const char* what;
    size_t at;
    uint64_t value;  // little-endian, 64 bits at a data length, else 32
    const char* kit;
    const char* unpack;
  } cases[] = {
      {"fill record data past the end", record(3) + 0x2C, 0x10000000,
       "the data of misc.img runs past the end of the image",
       "Data of misc.img runs past the end of the firmware"},
      {"rootfs at 4 GiB", record(6) + 0x24, 0x800000, "the data of rootfs.img lies beyond 4 GiB",
       "Data of rootfs.img lies beyond 4 GiB"},
      {"boot data of 4 GiB", record(4) + 0x2C, 0x100000000ull,
       "the data of boot.img is 4 GiB or longer",
       "Data of boot.img is 4 GiB or longer, dataLength=4294967296"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    PackFixed(SourceDir() + "/examples/board/setting.ini", ".", dir.Path());
    std::vector<uint8_t> image = ReadBytes(dir / "Firmware.img");
    const int width = (c.at - 0x200) % 128 == 0x2C ? 8 : 4;
    for (int i = 0; i < width; ++i) image[c.at + i] = static_cast<uint8_t>(c.value >> (8 * i));
    WriteBytes(dir / "Firmware.img", image);
    fs::create_directory(dir / "kit");
    fs::create_directory(dir / "unpacked");
    const Outcome unpacked = Imgweld({"-U", "Firmware.img", "unpacked", "offcheck"}, dir.Path());
    EXPECT_TRUE(unpacked.out.ends_with(std::string("UnPacking Error:") + c.unpack + "!\r\n"))
        << unpacked.out;
    const Outcome kit = Imgweld({"-X", "Firmware.img", "kit", "offcheck"}, dir.Path());
    EXPECT_EQ(kit.exitCode, 4);
    EXPECT_EQ(LinesStartingWith(kit.err, "imgweld: "),
              std::vector<std::string>{
                  std::string("imgweld: Firmware.img: cannot be taken apart: ") + c.kit})
        << kit.err;
    EXPECT_EQ(kit.out, "");
    EXPECT_TRUE(fs::is_empty(dir / "kit"));
  }
}

// -X refuses a record name no file can take by whom it concerns: a record
// -U writes a named file for is refused as -U refuses it, by the record -V
// fails; a vendor-type record without data gets no file from -U and passes
// -V, but its configuration would name a file after it.
TEST(RebuildTest, KitRefusesARecordNameNoFileCanTake) {
  // The board's records: 5 backup (skipped), 6 rootfs.
  const auto record = [](size_t index) { return 0x200 + 128 * index; };
  // The table and header checksums again, and the backup block at the end
  // (the board has one) as a copy of both, so only the edit stands out.
  const auto reseal = [](std::vector<uint8_t>& b) {
    const auto put = [&](size_t at, uint32_t value) {
      for (size_t i = 0; i < 4; ++i) b.at(at + i) = static_cast<uint8_t>(value >> (8 * i));
    };
    const size_t count = b[0x20] | size_t{b[0x21]} << 8;
    put(0x1F8, RefCrc32Msb(std::span<const uint8_t>(b).subspan(0x200, count * 128)));
    put(0x1FC, RefCrc32Msb(std::span<const uint8_t>(b).first(0x1FC)));
    const size_t backup = b.size() - 4096;
    std::copy(b.begin() + 0x200, b.begin() + 0x1000, b.begin() + backup);
    std::copy(b.begin(), b.begin() + 512, b.begin() + backup + 3584);
  };
  const struct {
    const char* what;
    size_t record;
    const char* name;
    bool vendor;      // the record's type is made vendor
    const char* kit;  // standard error's line after "imgweld: Firmware.img: "
    bool verifies;    // -V passes the image, and -X writes the files -U writes
  } cases[] = {
      {"payload record", 6, "root/fs", false,
       "cannot be taken apart: the name of partition record 6 is no plain file name", false},
      {"vendor record without data", 5, "back/up", true,
       "cannot be rebuilt exactly, the name of record 5 is no file name -U writes", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    PackFixed(SourceDir() + "/examples/board/setting.ini", ".", dir.Path());
    std::vector<uint8_t> image = ReadBytes(dir / "Firmware.img");
    std::fill_n(image.begin() + record(c.record), 32, 0);
    std::copy_n(c.name, std::string(c.name).size(), image.begin() + record(c.record));
    // The type, 32 bits at 0x20 of the record; 1 is the vendor type.
    if (c.vendor) image[record(c.record) + 0x20] = 1;
    reseal(image);
    WriteBytes(dir / "Firmware.img", image);
    fs::create_directory(dir / "kit");
    const Outcome verified = Imgweld({"-V", "Firmware.img", "offcheck"}, dir.Path());
    EXPECT_EQ(verified.exitCode == 0, c.verifies) << verified.out << verified.err;
    const Outcome kit = Imgweld({"-X", "Firmware.img", "kit", "offcheck"}, dir.Path());
    EXPECT_EQ(kit.exitCode, 4);
    EXPECT_EQ(LinesStartingWith(kit.err, "imgweld: "),
              std::vector<std::string>{std::string("imgweld: Firmware.img: ") + c.kit})
        << kit.err;
    EXPECT_FALSE(fs::exists(dir / "kit/setting.ini"));
    EXPECT_EQ(fs::exists(dir / "kit/rootfs.img"), c.verifies);
  }
}

// -X checks the hash file beside a tagged image as -U does: a mismatch fails
// the run before any file takes its name, offcheck skips the check, and a
// missing hash file is noted and passed over.
TEST(RebuildTest, KitChecksTheHashFileBesideTheImage) {
  TempDir dir;
  PackFixed(SourceDir() + "/examples/board/setting.ini", ".", dir.Path());
  const std::vector<uint8_t> digest = ReadBytes(dir / "Firmware.md5");
  std::vector<uint8_t> wrong = digest;
  wrong[15] ^= 0x01;
  const std::vector<std::string> files = {"backup.img",    "boot.img", "flashboot.bin",
                                          "flashdata.bin", "misc.img", "rootfs.img",
                                          "setting.ini",   "uboot.img"};
  const struct {
    const char* what;
    std::optional<std::vector<uint8_t>> hash;  // none: no hash file
    std::vector<std::string> extra;            // words after the directory
    int exitCode;
    std::string note;  // a line of standard error
  } cases[] = {
      {"matching hash file", digest, {}, 0, ""},
      {"hash file that does not match", wrong, {}, 4, "UnPacking Error:compare hash failed!\r"},
      {"mismatch skipped with offcheck", wrong, {"offcheck"}, 0, ""},
      {"mismatch skipped with OffCheck", wrong, {"OffCheck"}, 0, ""},
      {"another word verifies", wrong, {"off"}, 4, "UnPacking Error:compare hash failed!\r"},
      {"no hash file",
       std::nullopt,
       {},
       0,
       "imgweld: Firmware.img: no hash file Firmware.md5 beside it, so the image is not "
       "verified against one"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(dir / "Firmware.md5");
    if (c.hash) WriteBytes(dir / "Firmware.md5", *c.hash);
    fs::remove_all(dir / "kit");
    fs::create_directory(dir / "kit");
    std::vector<std::string> args = {"-X", "Firmware.img", "kit"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const Outcome kit = Imgweld(args, dir.Path());
    EXPECT_EQ(kit.exitCode, c.exitCode) << kit.err;
    if (!c.note.empty()) {
      EXPECT_NE(kit.err.find(c.note + "\n"), std::string::npos) << kit.err;
    }
    if (c.exitCode != 0) {
      // Nothing at all in the kit directory, not even a temporary file.
      EXPECT_EQ(kit.out, "");
      EXPECT_TRUE(fs::is_empty(dir / "kit"));
      continue;
    }
    // Files held back while the digest ran are named once they are saved.
    EXPECT_EQ(SortedLines(kit.out), files);
    EXPECT_EQ(FileNames(dir / "kit"), files);
  }
}

// The kit must give back the whole file: bytes after the image's end, a
// part of a sector of them, are a difference in both image forms (no backup
// block or backup GPT, which would then not end the file). -X still
// writes its files but no setting.ini, and exits 4 with one line naming why.
TEST(RebuildTest, KitOfAnImageWithBytesAfterItsEndFails) {
  const struct {
    const char* example;
    size_t extra;
    std::string why;
  } cases[] = {
      {"board", 1, "its last partition ends inside a sector, which the packer pads"},
      {"board", 511, "its last partition ends inside a sector, which the packer pads"},
      {"gpt-board", 1, "the rebuilt image ends there, the other holds 1 bytes more"},
      {"gpt-board", 511, "the rebuilt image ends there, the other holds 511 bytes more"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.example) + ", " + std::to_string(c.extra));
    TempDir dir;
    fs::create_directory(dir / "kit");
    // Without a backup block, which would no longer be at the image's end.
    fs::copy(SourceDir() + "/examples/" + c.example, dir / "source");
    std::string config = ReadText(dir / "source/setting.ini");
    config.replace(config.find("Backup_Partition_Enable=1"), 25, "Backup_Partition_Enable=0");
    WriteText(dir / "source/setting.ini", config);
    PackFixed("source/setting.ini", ".", dir.Path());
    std::vector<uint8_t> image = ReadBytes(dir / "Firmware.img");
    image.resize(image.size() + c.extra, 0xFF);
    WriteBytes(dir / "Firmware.img", image);
    const Outcome kit = Imgweld({"-X", "Firmware.img", "kit", "offcheck"}, dir.Path());
    EXPECT_EQ(kit.exitCode, 4);
    const std::vector<std::string> lines = LinesStartingWith(kit.err, "imgweld: Firmware.img: ");
    EXPECT_EQ(lines.size(), 1u) << kit.err;
    const std::string line = lines.empty() ? "" : lines[0];
    EXPECT_TRUE(line.starts_with("imgweld: Firmware.img: cannot be rebuilt exactly, ")) << line;
    EXPECT_NE(line.find(c.why), std::string::npos) << line;
    EXPECT_TRUE(fs::exists(dir / "kit/uboot.img"));
    EXPECT_FALSE(fs::exists(dir / "kit/setting.ini"));
  }
}

// A record whose Type_Guid fills its 64 bytes with no end: the
// configuration carries it, and the packer, which keeps 63 characters,
// refuses it. -X checks its configuration with the packer as -L ini does:
// it writes the kit and exits 4.
TEST(RebuildTest, KitWhoseConfigurationThePackerRefusesFails) {
  TempDir dir;
  fs::create_directory(dir / "kit");
  PackFixed(SourceDir() + "/examples/board/setting.ini", ".", dir.Path());
  std::vector<uint8_t> image = ReadBytes(dir / "Firmware.img");
  const size_t uboot = 0x200 + 2 * 128;
  std::fill_n(image.begin() + uboot + 0x38, 64, 'x');
  // Both checksums again, and the backup block's copies of table and header.
  const auto put32 = [&](size_t at, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) image[at + i] = static_cast<uint8_t>(value >> (8 * i));
  };
  put32(0x1F8, RefCrc32Msb(std::span<const uint8_t>(image).subspan(0x200, 7 * 128)));
  put32(0x1FC, RefCrc32Msb(std::span<const uint8_t>(image).first(0x1FC)));
  const size_t backup = image.size() - 4096;
  std::copy(image.begin() + 0x200, image.begin() + 0x1000, image.begin() + backup);
  std::copy(image.begin(), image.begin() + 512, image.begin() + backup + 3584);
  WriteBytes(dir / "Firmware.img", image);
  ASSERT_EQ(Imgweld({"-V", "Firmware.img", "offcheck"}, dir.Path()).exitCode, 0);

  const Outcome kit = Imgweld({"-X", "Firmware.img", "kit", "offcheck"}, dir.Path());
  EXPECT_EQ(kit.exitCode, 4);
  EXPECT_EQ(LinesStartingWith(kit.err, "imgweld: Firmware.img: "),
            (std::vector<std::string>{
                "imgweld: Firmware.img: Packing Error:Type_Guid of partition uboot is longer than "
                "63 characters!",
                "imgweld: Firmware.img: cannot be rebuilt exactly, the packer refuses the "
                "configuration"}));
  EXPECT_EQ(SortedLines(kit.out), FileNames(dir / "kit"));
  EXPECT_TRUE(fs::exists(dir / "kit/uboot.img"));
  const Outcome listed = Imgweld({"-L", "Firmware.img", "ini"}, dir.Path());
  EXPECT_EQ(listed.exitCode, 4);
  EXPECT_EQ(listed.out, "");
}

// The example board packs back from its kit, also from a kit written twice.
TEST(RebuildTest, KitOfTheExamplesRebuildsWithoutTheVariable) {
  TempDir dir;
  PackFixed(SourceDir() + "/examples/board/setting.ini", ".", dir.Path());
  const Outcome listed = Imgweld({"-L", "Firmware.img", "ini"}, dir.Path());
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  ExpectKitRebuilds(dir, "Firmware.img", listed.out);
  // An existing kit is replaced file by file.
  ExpectKitRebuilds(dir, "Firmware.img", listed.out);
}

TEST(RebuildTest, MalformedDateKeyIsRefusedWithOneLine) {
  TempDir dir;
  for (const char* value :
       {"", "2026-12-10", "2026-12-10 15:39", "2026-13-10 15:39:29", "2026-02-29 00:00:00",
        "2026-12-10T15:39:29", "2026-12-10 24:00:00", "2026-12-10 15:60:00", "2026-12-10 15:39:61",
        "2026-12-10 5:39:29", "65536-12-10 15:39:29", "02026-12-10 15:39:29",
        "2026-12-00 15:39:29"}) {
    for (const char* example : {"board", "gpt-board"}) {
      const std::string config = dir / "setting.ini";
      std::string text = ReadText(SourceDir() + "/examples/" + example + "/setting.ini");
      text.insert(text.find("[System]\n") + 9, std::string("Date=") + value + "\n");
      WriteText(config, text);
      fs::create_directory(dir / "out");
      const Outcome packed = Imgweld({"-P", config, "out"}, dir.Path());
      EXPECT_EQ(packed.exitCode, 3) << value;
      EXPECT_EQ(packed.out, std::string("Packing Error:Date=") + value +
                                " in [System] is not a date and time of the form YYYY-MM-DD "
                                "HH:MM:SS!\r\n");
      EXPECT_TRUE(fs::is_empty(dir / "out")) << value;
    }
  }
}

}  // namespace
}  // namespace imgweld::test
