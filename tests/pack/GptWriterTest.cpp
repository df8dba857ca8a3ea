#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "common/Output.h"
#include "pack/PackFirmware.h"
#include "support/TestSupport.h"

// The partition-table form of the image, read back with a decoder written
// here from the GPT layout (not the packer's encoder) and with real
// partitioning tools.
namespace imgweld::test {
namespace {

constexpr uint64_t kSec = 512;
constexpr uint64_t kAllOnes = ~uint64_t{0};
constexpr uint8_t kFill = 0xA5;
constexpr size_t kArrayBytes = 128 * 128;
constexpr uint64_t kPayloadStart = 34 * kSec;  // the first byte after the primary array

using Bytes = std::vector<uint8_t>;

uint64_t LeAt(const Bytes& bytes, size_t at, size_t width) {
  uint64_t value = 0;
  for (size_t i = 0; i < width; ++i) value |= uint64_t{bytes.at(at + i)} << (8 * i);
  return value;
}

bool AllAre(const Bytes& bytes, size_t at, size_t length, uint8_t value) {
  for (size_t i = at; i < at + length; ++i) {
    if (bytes.at(i) != value) return false;
  }
  return true;
}

Bytes Slice(const Bytes& bytes, size_t at, size_t length) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(at),
               bytes.begin() + static_cast<std::ptrdiff_t>(at + length));
}

// CRC-32 as GPT uses it: reflected polynomial 0xEDB88320, register and
// result inverted, computed bit by bit.
uint32_t RefCrc32(const Bytes& data) {
  uint32_t reg = 0xFFFFFFFF;
  for (uint8_t byte : data) {
    reg ^= byte;
    for (int bit = 0; bit < 8; ++bit) reg = (reg & 1) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
  }
  return ~reg;
}

// The text form of the 16 GUID bytes at `at`: the first three groups are
// stored little-endian, the last two in text order.
std::string GuidText(const Bytes& bytes, size_t at) {
  const auto b = [&](size_t i) { return static_cast<unsigned>(bytes.at(at + i)); };
  char text[37];
  std::snprintf(text, sizeof text,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b(3), b(2),
                b(1), b(0), b(5), b(4), b(7), b(6), b(8), b(9), b(10), b(11), b(12), b(13), b(14),
                b(15));
  return text;
}

bool IsVersion4(const Bytes& bytes, size_t at) {
  return (bytes.at(at + 7) & 0xF0) == 0x40 && (bytes.at(at + 8) & 0x80) == 0x80;
}

struct GptHeaderView {
  std::string signature;
  uint32_t revision, headerSize, headerCrc, reserved;
  uint64_t currentLba, backupLba, firstUsable, lastUsable;
  size_t diskGuidAt;
  uint64_t arrayLba;
  uint32_t entryCount, entrySize, arrayCrc;
  uint16_t marker, backupFlag, partitionCount;
  bool crcMatches;
};

GptHeaderView ReadHeader(const Bytes& image, uint64_t lba) {
  const size_t at = lba * kSec;
  GptHeaderView h{};
  h.signature = std::string(image.begin() + static_cast<std::ptrdiff_t>(at),
                            image.begin() + static_cast<std::ptrdiff_t>(at + 8));
  h.revision = static_cast<uint32_t>(LeAt(image, at + 8, 4));
  h.headerSize = static_cast<uint32_t>(LeAt(image, at + 12, 4));
  h.headerCrc = static_cast<uint32_t>(LeAt(image, at + 16, 4));
  h.reserved = static_cast<uint32_t>(LeAt(image, at + 20, 4));
  h.currentLba = LeAt(image, at + 24, 8);
  h.backupLba = LeAt(image, at + 32, 8);
  h.firstUsable = LeAt(image, at + 40, 8);
  h.lastUsable = LeAt(image, at + 48, 8);
  h.diskGuidAt = at + 56;
  h.arrayLba = LeAt(image, at + 72, 8);
  h.entryCount = static_cast<uint32_t>(LeAt(image, at + 80, 4));
  h.entrySize = static_cast<uint32_t>(LeAt(image, at + 84, 4));
  h.arrayCrc = static_cast<uint32_t>(LeAt(image, at + 88, 4));
  h.marker = static_cast<uint16_t>(LeAt(image, at + 108, 2));
  h.backupFlag = static_cast<uint16_t>(LeAt(image, at + 110, 2));
  h.partitionCount = static_cast<uint16_t>(LeAt(image, at + 112, 2));
  Bytes covered = Slice(image, at, 92);
  for (size_t i = 16; i < 20; ++i) covered[i] = 0;
  h.crcMatches = RefCrc32(covered) == h.headerCrc;
  return h;
}

uint64_t PayloadLength(const Bytes& image, uint64_t headerLba, size_t index) {
  return LeAt(image, headerLba * kSec + 114 + 8 * index, 8);
}

struct EntryView {
  size_t at;  // byte position of the entry
  std::string typeGuid, uniqueGuid;
  uint64_t firstLba, lastLba, attributes;
  std::vector<uint16_t> name;  // all 36 units
};

EntryView ReadEntry(const Bytes& image, uint64_t arrayLba, size_t index) {
  EntryView e{};
  e.at = arrayLba * kSec + 128 * index;
  e.typeGuid = GuidText(image, e.at);
  e.uniqueGuid = GuidText(image, e.at + 16);
  e.firstLba = LeAt(image, e.at + 32, 8);
  e.lastLba = LeAt(image, e.at + 40, 8);
  e.attributes = LeAt(image, e.at + 48, 8);
  for (size_t i = 0; i < 36; ++i)
    e.name.push_back(static_cast<uint16_t>(LeAt(image, e.at + 56 + 2 * i, 2)));
  return e;
}

// ASCII names widen to one unit per character, zero after the name.
std::vector<uint16_t> Units(const std::string& name) {
  std::vector<uint16_t> units(36, 0);
  for (size_t i = 0; i < name.size(); ++i) units[i] = static_cast<uint8_t>(name[i]);
  return units;
}

void ExpectProtectiveMbr(const Bytes& image) {
  EXPECT_TRUE(AllAre(image, 0, 446, 0));
  EXPECT_EQ(image.at(446), 0x00);               // status
  EXPECT_TRUE(AllAre(image, 447, 3, 0));        // first CHS
  EXPECT_EQ(image.at(450), 0xEE);               // type
  EXPECT_TRUE(AllAre(image, 451, 3, 0));        // last CHS
  EXPECT_EQ(LeAt(image, 454, 4), 1u);           // first LBA
  EXPECT_EQ(LeAt(image, 458, 4), 0xFFFFFFFFu);  // sector count
  EXPECT_TRUE(AllAre(image, 462, 48, 0));       // the other three records
  EXPECT_EQ(image.at(510), 0x55);
  EXPECT_EQ(image.at(511), 0xAA);
}

// Everything of the primary header that does not depend on the disk size.
void ExpectCommonHeader(const Bytes& image, const GptHeaderView& h) {
  EXPECT_EQ(h.signature, "EFI PART");
  EXPECT_EQ(h.revision, 0x00010000u);
  EXPECT_EQ(h.headerSize, 92u);
  EXPECT_TRUE(h.crcMatches);
  EXPECT_EQ(h.reserved, 0u);
  EXPECT_EQ(h.currentLba, 1u);
  EXPECT_EQ(h.firstUsable, 34u);
  EXPECT_TRUE(IsVersion4(image, h.diskGuidAt));
  EXPECT_EQ(h.arrayLba, 2u);
  EXPECT_EQ(h.entryCount, 128u);
  EXPECT_EQ(h.entrySize, 128u);
  EXPECT_EQ(h.arrayCrc, RefCrc32(Slice(image, 2 * kSec, kArrayBytes)));
  EXPECT_TRUE(AllAre(image, kSec + 92, 16, 0));
  const size_t lengthsEnd = kSec + 114 + 8 * size_t{h.partitionCount};
  EXPECT_TRUE(AllAre(image, lengthsEnd, 2 * kSec - lengthsEnd, 0));
  for (size_t i = h.partitionCount; i < 128; ++i) {
    EXPECT_TRUE(AllAre(image, 2 * kSec + 128 * i, 128, 0)) << "entry " << i;
  }
}

// The backup at the image's end: the array, then the header that points to
// it, the two LBAs exchanged and its own checksum.
void ExpectBackupAtEnd(const Bytes& image, uint64_t expectedCurrentLba) {
  ASSERT_GE(image.size(), 34 * kSec + kArrayBytes + kSec);
  const size_t headerAt = image.size() - kSec;
  const size_t arrayAt = headerAt - kArrayBytes;
  EXPECT_EQ(Slice(image, arrayAt, kArrayBytes), Slice(image, 2 * kSec, kArrayBytes));
  // Read the backup header as a sector of its own.
  Bytes sector = Slice(image, headerAt, kSec);
  const Bytes primary = Slice(image, kSec, kSec);
  Bytes one(2 * kSec, 0);
  std::copy(sector.begin(), sector.end(), one.begin() + kSec);
  const GptHeaderView b = ReadHeader(one, 1);
  const GptHeaderView p = ReadHeader(image, 1);
  EXPECT_EQ(b.signature, "EFI PART");
  EXPECT_TRUE(b.crcMatches);
  EXPECT_EQ(b.currentLba, p.backupLba);
  EXPECT_EQ(b.currentLba, expectedCurrentLba);
  EXPECT_EQ(b.backupLba, 1u);
  EXPECT_EQ(b.arrayLba, p.lastUsable + 1);
  EXPECT_EQ(b.arrayCrc, p.arrayCrc);
  // Everything else, the private fields from byte 108 included, is copied.
  for (size_t i = 0; i < kSec; ++i) {
    const bool changed = (i >= 16 && i < 20) || (i >= 24 && i < 40) || (i >= 72 && i < 80);
    if (!changed) {
      EXPECT_EQ(sector[i], primary[i]) << "backup header byte " << i;
    }
  }
}

std::string SystemSection(const std::string& gptEnable, const std::string& backup) {
  // Plain boot block sectors, so the header magic shows where each copy is.
  return "[System]\nFwVersion=1.0\nChip=ZB10\nModel=gpt test\nFILL_BYTE=0xA5\n"
         "Loader_Encrypt=0\nIDB_Boot_Encrypt=0\nGpt_Enable=" +
         gptEnable + "\nBackup_Partition_Enable=" + backup + "\n";
}

std::string PartSection(int number, const std::string& name, const std::string& type,
                        const std::string& offset, const std::string& size, const std::string& flag,
                        const std::string& file, const std::string& typeGuid = "") {
  std::string text = "[UserPart" + std::to_string(number) + "]\nName=" + name + "\nType=" + type +
                     "\nPartOffset=" + offset + "\nPartSize=" + size + "\nFlag=" + flag + "\n";
  if (!typeGuid.empty()) text += "Type_Guid=" + typeGuid + "\n";
  if (!file.empty()) text += "File=" + file + "\n";
  return text;
}

const char kRootfsGuidText[] = "00112233-4455-6677-8899-AABBCCDDEEFF";
const char kLinuxGuidText[] = "0FC63DAF-8483-4772-8E79-3D69D8477DE4";

// Two partitions, the last at 0x2000 with 0x1000 sectors.
std::string WorkedExample(const std::string& gptEnable) {
  return SystemSection(gptEnable, "1") + "[PARTITION_TYPE_GUID]\nrootfs=" + kRootfsGuidText + "\n" +
         PartSection(1, "boot", "2", "0x40", "0x400", "0", "ddr.bin,loader.bin") +
         PartSection(2, "rootfs", "8", "0x2000", "0x1000", "0", "rootfs.img", "rootfs");
}

constexpr size_t kBootBlockBytes = 32 * kSec;  // 4 + 8 (3000-byte DDR) + 20 (9000-byte loader)
constexpr size_t kRootfsBytes = 3000;

bool IsBootBlockAt(const Bytes& image, size_t at) { return LeAt(image, at, 4) == 0x0FF0AA55; }

class GptPackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteBytes(dir_ / "ddr.bin", RandomBytes(3000, 1));
    WriteBytes(dir_ / "loader.bin", RandomBytes(9000, 2));
    WriteBytes(dir_ / "rootfs.img", RandomBytes(kRootfsBytes, 3));
    WriteBytes(dir_ / "data.img", RandomBytes(70000, 4));
    std::filesystem::create_directory(dir_ / "out");
  }

  bool Pack(const std::string& config) {
    WriteText(dir_ / "setting.ini", config);
    out_.Clear();
    return PackFirmware(dir_ / "setting.ini", dir_ / "out", out_);
  }
  Bytes Image() const { return ReadBytes(dir_ / "out/Firmware.img"); }
  Bytes File(const std::string& name) const { return ReadBytes(dir_ / name); }
  std::string ImagePath() const { return dir_ / "out/Firmware.img"; }

  TempDir dir_;
  StringOutput out_;
};

TEST_F(GptPackTest, PaddedImageWithBackupFollowsTheWorkedExample) {
  ASSERT_TRUE(Pack(WorkedExample("0"))) << out_.Text();
  EXPECT_EQ(out_.Text(),
            "Compact=0,Backup=1\r\n"
            "name=boot, offset=40, size=400, type=2, flag=0\r\n"
            "name=rootfs, offset=2000, size=1000, type=8, flag=0\r\n"
            "writing mbr...\r\n"
            "writing gpt...\r\n"
            "Writing idblock...\r\n"
            "Adding rootfs ...\r\n"
            "writing backup gpt...\r\n"
            "Generating GPT firmware OK.\r\n");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "out/Firmware.md5"));

  const Bytes image = Image();
  ASSERT_EQ(image.size(), 0x3021u * kSec);
  ExpectProtectiveMbr(image);
  const GptHeaderView h = ReadHeader(image, 1);
  ExpectCommonHeader(image, h);
  EXPECT_EQ(h.backupLba, 0x3020u);
  EXPECT_EQ(h.lastUsable, 0x2FFFu);
  EXPECT_EQ(h.marker, 0xFFFF);
  EXPECT_EQ(h.backupFlag, 1);
  EXPECT_EQ(h.partitionCount, 2);
  EXPECT_EQ(PayloadLength(image, 1, 0), kBootBlockBytes);
  EXPECT_EQ(PayloadLength(image, 1, 1), kRootfsBytes);

  const EntryView boot = ReadEntry(image, 2, 0);
  EXPECT_EQ(boot.firstLba, 0x40u);
  EXPECT_EQ(boot.lastLba, 0x43Fu);
  EXPECT_EQ(boot.attributes, 0u);
  EXPECT_EQ(boot.name, Units("boot"));
  EXPECT_EQ(Slice(image, boot.at + 56, 8), (Bytes{0x62, 0, 0x6F, 0, 0x6F, 0, 0x74, 0}));
  EXPECT_TRUE(IsVersion4(image, boot.at));
  EXPECT_TRUE(IsVersion4(image, boot.at + 16));
  const EntryView rootfs = ReadEntry(image, 2, 1);
  EXPECT_EQ(rootfs.firstLba, 0x2000u);
  EXPECT_EQ(rootfs.lastLba, 0x2FFFu);
  EXPECT_EQ(Slice(image, rootfs.at, 16), (Bytes{0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66,
                                                0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}));
  EXPECT_EQ(rootfs.typeGuid, kRootfsGuidText);
  EXPECT_TRUE(IsVersion4(image, rootfs.at + 16));
  EXPECT_EQ(rootfs.name, Units("rootfs"));

  // Payloads at their sectors, fill bytes between them.
  EXPECT_TRUE(AllAre(image, kPayloadStart, 0x40 * kSec - kPayloadStart, kFill));
  EXPECT_TRUE(IsBootBlockAt(image, 0x40 * kSec));
  EXPECT_TRUE(IsBootBlockAt(image, (0x40 + 0x200) * kSec));  // the copy at the middle
  EXPECT_EQ(Slice(image, 0x2000 * kSec, kRootfsBytes), File("rootfs.img"));
  EXPECT_TRUE(AllAre(image, 0x2000 * kSec + kRootfsBytes, 0x1000 * kSec - kRootfsBytes, kFill));

  // Backup array at LBA 0x3000, backup header at LBA 0x3020.
  EXPECT_EQ(Slice(image, 0x3000 * kSec, kArrayBytes), Slice(image, 2 * kSec, kArrayBytes));
  ExpectBackupAtEnd(image, 0x3020);
}

TEST_F(GptPackTest, CompactImageFollowsTheWorkedExample) {
  ASSERT_TRUE(Pack(WorkedExample("1"))) << out_.Text();
  EXPECT_EQ(out_.Text(),
            "Compact=1,Backup=1\r\n"
            "name=boot, offset=40, size=400, type=2, flag=0\r\n"
            "name=rootfs, offset=2000, size=1000, type=8, flag=0\r\n"
            "writing mbr...\r\n"
            "writing gpt...\r\n"
            "Writing idblock...\r\n"
            "Adding rootfs ...\r\n"
            "Generating GPT firmware OK.\r\n");

  const Bytes image = Image();
  // Back to back after LBA 34: one boot block, then the payload; no backup.
  ASSERT_EQ(image.size(), kPayloadStart + kBootBlockBytes + kRootfsBytes);
  ExpectProtectiveMbr(image);
  const GptHeaderView h = ReadHeader(image, 1);
  ExpectCommonHeader(image, h);
  EXPECT_EQ(h.backupLba, 0xFFFFFFFFFFFFFFFEu);
  EXPECT_EQ(h.lastUsable, 0xFFFFFFFFFFFFFFDDu);
  EXPECT_EQ(h.marker, 0xEEEE);
  EXPECT_EQ(h.backupFlag, 1);
  EXPECT_EQ(h.partitionCount, 2);
  EXPECT_EQ(PayloadLength(image, 1, 0), kBootBlockBytes);
  EXPECT_EQ(PayloadLength(image, 1, 1), kRootfsBytes);
  // The entries keep their configured sectors.
  EXPECT_EQ(ReadEntry(image, 2, 0).firstLba, 0x40u);
  EXPECT_EQ(ReadEntry(image, 2, 1).firstLba, 0x2000u);
  EXPECT_EQ(ReadEntry(image, 2, 1).lastLba, 0x2FFFu);
  EXPECT_EQ(ReadEntry(image, 2, 1).typeGuid, kRootfsGuidText);

  EXPECT_TRUE(IsBootBlockAt(image, kPayloadStart));
  EXPECT_EQ(Slice(image, kPayloadStart + kBootBlockBytes, kRootfsBytes), File("rootfs.img"));
}

TEST_F(GptPackTest, CompactImageFillsAFillPartitionToItsEnd) {
  ASSERT_TRUE(Pack(SystemSection("1", "0") +
                   PartSection(1, "boot", "2", "0x40", "0x400", "0", "ddr.bin,loader.bin") +
                   PartSection(2, "misc", "8", "0x100", "0x20", "2", "") +
                   PartSection(3, "rootfs", "8", "0x2000", "0x1000", "0", "rootfs.img")))
      << out_.Text();
  EXPECT_EQ(out_.Text().find("Packing GPT:failed to get guid of partition type, check section "
                             "PARTITION_TYPE_GUID in the config!\r\n"),
            0u);
  const Bytes image = Image();
  const size_t fillEnd = 0x120 * kSec;
  ASSERT_EQ(image.size(), fillEnd + kRootfsBytes);
  EXPECT_TRUE(IsBootBlockAt(image, kPayloadStart));
  EXPECT_TRUE(AllAre(image, kPayloadStart + kBootBlockBytes,
                     fillEnd - kPayloadStart - kBootBlockBytes, kFill));
  EXPECT_EQ(Slice(image, fillEnd, kRootfsBytes), File("rootfs.img"));
  EXPECT_EQ(ReadHeader(image, 1).backupFlag, 0);
  EXPECT_EQ(PayloadLength(image, 1, 1), 0u);
}

TEST_F(GptPackTest, GrowingLastPartitionLeavesTheDiskOpenAndAppendsTheBackup) {
  ASSERT_TRUE(Pack(SystemSection("0", "1") +
                   PartSection(1, "boot", "2", "0x40", "0x400", "0", "ddr.bin,loader.bin") +
                   PartSection(2, "data", "8", "0x800", "0", "4", "data.img")))
      << out_.Text();
  const Bytes image = Image();
  const size_t payloadEnd = 0x800 * kSec + 70000;
  ASSERT_EQ(image.size(), payloadEnd + kArrayBytes + kSec);
  EXPECT_EQ(Slice(image, 0x800 * kSec, 70000), File("data.img"));
  const GptHeaderView h = ReadHeader(image, 1);
  ExpectCommonHeader(image, h);
  EXPECT_EQ(h.backupLba, kAllOnes - 1);
  EXPECT_EQ(h.lastUsable, kAllOnes - 34);
  EXPECT_EQ(ReadEntry(image, 2, 1).lastLba, 0xFFFFFFFFFFFFFFDDu);
  EXPECT_EQ(PayloadLength(image, 1, 1), 70000u);
  ExpectBackupAtEnd(image, kAllOnes - 1);
}

TEST_F(GptPackTest, TypeGuidsMatchSectionKeysExactly) {
  const std::string config =
      SystemSection("0", "0") + "[PARTITION_TYPE_GUID]\nRootFS=" + kRootfsGuidText +
      "\nlinux=" + kLinuxGuidText + "\n" +
      PartSection(1, "a", "8", "0x40", "8", "2", "", "rootfs") +  // the key is RootFS
      PartSection(2, "b", "8", "0x48", "8", "2", "", " linux") +  // values are not trimmed
      PartSection(3, "c", "8", "0x50", "8", "2", "", "linux") +
      PartSection(4, "d", "8", "0x58", "8", "2", "");
  ASSERT_TRUE(Pack(config)) << out_.Text();
  EXPECT_EQ(out_.Text().find("Packing GPT:"), std::string::npos);
  const Bytes image = Image();
  std::set<std::string> guids = {GuidText(image, ReadHeader(image, 1).diskGuidAt)};
  for (size_t i = 0; i < 4; ++i) {
    const EntryView entry = ReadEntry(image, 2, i);
    if (i == 2) {
      EXPECT_EQ(entry.typeGuid, kLinuxGuidText);
    } else {
      EXPECT_TRUE(IsVersion4(image, entry.at)) << i;
      guids.insert(entry.typeGuid);
    }
    EXPECT_TRUE(IsVersion4(image, entry.at + 16)) << i;
    guids.insert(entry.uniqueGuid);
  }
  EXPECT_EQ(guids.size(), 8u);  // every random GUID is new

  // An empty section is no reason for a warning either.
  ASSERT_TRUE(Pack(SystemSection("0", "0") + "[PARTITION_TYPE_GUID]\n" +
                   PartSection(1, "a", "8", "0x40", "8", "2", "", "rootfs")));
  EXPECT_EQ(out_.Text().find("Packing GPT:"), std::string::npos);
}

TEST_F(GptPackTest, HeaderHoldsTheLengthsOf49Partitions) {
  std::string config = SystemSection("0", "0");
  for (int i = 1; i <= 49; ++i) {
    const std::string file = "p" + std::to_string(i) + ".bin";
    WriteBytes(dir_ / file, RandomBytes(static_cast<size_t>(i), static_cast<uint32_t>(i)));
    config += PartSection(i, "p" + std::to_string(i), "8", std::to_string(64 + i), "1", "0", file);
  }
  ASSERT_TRUE(Pack(config)) << out_.Text();
  const Bytes image = Image();
  const GptHeaderView h = ReadHeader(image, 1);
  ExpectCommonHeader(image, h);
  EXPECT_EQ(h.partitionCount, 49);
  for (size_t i = 0; i < 49; ++i) EXPECT_EQ(PayloadLength(image, 1, i), i + 1) << i;
  EXPECT_TRUE(AllAre(image, kSec + 506, 6, 0));
}

TEST_F(GptPackTest, IdBlockBelowSector64IsEnteredWhereItIsWritten) {
  ASSERT_TRUE(Pack(SystemSection("0", "1") +
                   PartSection(1, "boot", "2", "0x20", "0x400", "0", "ddr.bin,loader.bin")))
      << out_.Text();
  const Bytes image = Image();
  const EntryView boot = ReadEntry(image, 2, 0);
  EXPECT_EQ(boot.firstLba, 64u);
  EXPECT_EQ(boot.lastLba, 64u + 0x400 - 1);
  EXPECT_TRUE(IsBootBlockAt(image, 64 * kSec));
  EXPECT_TRUE(AllAre(image, kPayloadStart, 30 * kSec, kFill));
  // The disk size follows the raised sector too.
  EXPECT_EQ(image.size(), (64u + 0x400 + 33) * kSec);
  EXPECT_EQ(ReadHeader(image, 1).lastUsable, 64u + 0x400 - 1);
  ExpectBackupAtEnd(image, 64 + 0x400 + 32);
}

TEST_F(GptPackTest, BackupGoesWhereTheHeaderSaysWhenTheLastPartitionIsSkipped) {
  ASSERT_TRUE(Pack(SystemSection("0", "1") +
                   PartSection(1, "boot", "2", "0x40", "0x400", "0", "ddr.bin,loader.bin") +
                   PartSection(2, "rootfs", "8", "0x800", "0x100", "0", "rootfs.img") +
                   PartSection(3, "spare", "8", "0x1000", "0x200", "1", "")))
      << out_.Text();
  const Bytes image = Image();
  const uint64_t diskEnd = 0x1200 + 33;
  ASSERT_EQ(image.size(), diskEnd * kSec);
  EXPECT_EQ(ReadHeader(image, 1).backupLba, diskEnd - 1);
  EXPECT_TRUE(AllAre(image, 0x900 * kSec, (0x1200 - 0x900) * kSec, kFill));
  EXPECT_EQ(Slice(image, (diskEnd - 33) * kSec, kArrayBytes), Slice(image, 2 * kSec, kArrayBytes));
  ExpectBackupAtEnd(image, diskEnd - 1);
}

TEST_F(GptPackTest, WithoutBackupADistantLastPartitionOnlySetsTheHeader) {
  ASSERT_TRUE(Pack(SystemSection("0", "0") +
                   PartSection(1, "rootfs", "8", "0x40", "0x100", "0", "rootfs.img") +
                   PartSection(2, "far", "8", "0x7FFFF0", "0x100", "1", "")))
      << out_.Text();
  const Bytes image = Image();
  EXPECT_EQ(image.size(), 0x140 * kSec);
  EXPECT_EQ(ReadHeader(image, 1).backupLba, 0x7FFFF0u + 0x100 + 32);
  EXPECT_EQ(out_.Text().find("writing backup gpt"), std::string::npos);
}

TEST_F(GptPackTest, RefusesConfigurationsThatWouldBreakTheImage) {
  std::string fifty = SystemSection("0", "0");
  for (int i = 1; i <= 50; ++i) {
    fifty += PartSection(i, "p" + std::to_string(i), "8", std::to_string(64 + i), "1", "2", "");
  }
  // Two overlapping areas whose payloads (sparse files) together pass 4 GiB
  // once the compact layout puts them one after the other.
  for (const char* name : {"big1.img", "big2.img"}) {
    WriteBytes(dir_ / name, {});
    std::filesystem::resize_file(dir_ / name, 0x90000000ull);
  }
  const std::string guidSection =
      "[PARTITION_TYPE_GUID]\nlinux= " + std::string(kLinuxGuidText) + "\nshort=0FC63DAF\n";
  const struct {
    const char* what;
    std::string config;
    std::string message;
  } cases[] = {
      {"50 partitions", fifty,
       "Packing Error:too many partitions, 50 found, the GPT header holds at most 49!\r\n"},
      {"blank before a GUID",
       SystemSection("0", "0") + guidSection +
           PartSection(1, "a", "8", "0x40", "8", "0", "rootfs.img", "linux"),
       "Packing Error:linux in section PARTITION_TYPE_GUID is not a GUID of the form "
       "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX!\r\n"},
      {"short GUID",
       SystemSection("1", "0") + guidSection +
           PartSection(1, "a", "8", "0x40", "8", "0", "rootfs.img") +
           PartSection(2, "b", "8", "0x48", "8", "0", "rootfs.img", "short"),
       "Packing Error:short in section PARTITION_TYPE_GUID is not a GUID of the form "
       "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX!\r\n"},
      {"payload inside the table",
       SystemSection("0", "0") + PartSection(1, "low", "8", "0x10", "0x10", "0", "rootfs.img"),
       "Packing Error:partition low at sectors 10-1f overlaps the protective MBR and partition "
       "table at sectors 0-21!\r\n"},
      {"earlier partition under the backup",
       SystemSection("0", "1") +
           PartSection(1, "rootfs", "8", "0x2000", "0x1000", "0", "rootfs.img") +
           PartSection(2, "tail", "8", "0x100", "0x100", "2", ""),
       "Packing Error:partition rootfs ends past sector 1ff, the last one before the backup "
       "GPT!\r\n"},
      {"growing payload under the backup",
       SystemSection("0", "1") + PartSection(1, "data", "8", "0x40", "1", "4", "data.img") +
           PartSection(2, "tail", "8", "0x22", "0x10", "2", ""),
       "Packing Error:partition data ends past sector 31, the last one before the backup "
       "GPT!\r\n"},
      {"backup beyond 4 GiB",
       SystemSection("0", "1") + PartSection(1, "rootfs", "8", "0x40", "0x100", "0", "rootfs.img") +
           PartSection(2, "far", "8", "0x7FFFF0", "0x100", "1", ""),
       "Packing Error:" + ImagePath() + " does not fit below 4 GiB!\r\n"},
      {"compact payloads beyond 4 GiB",
       SystemSection("1", "0") + PartSection(1, "big1", "8", "0x40", "0x7FFF00", "0", "big1.img") +
           PartSection(2, "big2", "8", "0x40", "0x7FFF00", "0", "big2.img"),
       "Packing Error:" + ImagePath() + " does not fit below 4 GiB!\r\n"},
      {"compact fill behind the data",
       SystemSection("1", "0") +
           PartSection(1, "boot", "2", "0x40", "0x400", "0", "ddr.bin,loader.bin") +
           PartSection(2, "misc", "8", "0x30", "0x10", "2", "") +
           PartSection(3, "rootfs", "8", "0x2000", "0x1000", "0", "rootfs.img"),
       "Packing Error:partition misc ends before the data written ahead of it in the compact "
       "image!\r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(Pack(c.config)) << c.what;
    const std::string& text = out_.Text();
    EXPECT_NE(text.find(c.message), std::string::npos) << c.what << "\n" << text;
    EXPECT_EQ(text.find("Packing Error:"), text.rfind("Packing Error:")) << c.what << "\n" << text;
    EXPECT_EQ(text.find("writing mbr"), std::string::npos) << c.what;
    EXPECT_EQ(text.find("OK."), std::string::npos) << c.what;
  }
}

// The image is opened before the partition list is read: a list that cannot
// be read leaves nothing behind, and an image that cannot be opened stops the
// run before the list is looked at.
TEST_F(GptPackTest, OpeningAndListFailuresStopBeforeTheMbr) {
  std::filesystem::remove(dir_ / "rootfs.img");
  EXPECT_FALSE(Pack(WorkedExample("0")));
  EXPECT_EQ(out_.Text(),
            "Compact=0,Backup=1\r\n"
            "name=boot, offset=40, size=400, type=2, flag=0\r\n"
            "Packing Error:Getting UserPart failed!\r\n");
  EXPECT_FALSE(std::filesystem::exists(ImagePath()));

  std::filesystem::create_directory(ImagePath());
  EXPECT_FALSE(Pack(WorkedExample("1")));
  EXPECT_EQ(out_.Text(),
            "Compact=1,Backup=1\r\nPacking Error:Opening " + ImagePath() + " failed, err=21!\r\n");
}

TEST_F(GptPackTest, ALinkUnderTheImageNameIsReplacedNotWrittenThrough) {
  const std::string victim = dir_ / "victim";
  WriteText(victim, "keep me");
  ASSERT_EQ(symlink(victim.c_str(), ImagePath().c_str()), 0);
  ASSERT_TRUE(Pack(WorkedExample("0"))) << out_.Text();
  EXPECT_EQ(ReadText(victim), "keep me");
  EXPECT_FALSE(std::filesystem::is_symlink(ImagePath()));
  EXPECT_EQ(std::filesystem::file_size(ImagePath()), 0x3021u * 512);
}

// --- Real tools as independent readers, and the executable itself. ---

std::string Tool(const std::string& command) {
  // The partitioning tools live in the system directories.
  return "PATH=\"$PATH:/usr/sbin:/sbin\" " + command + " 2>&1";
}

RunResult RunTool(const std::string& command) { return RunShell(Tool(command)); }

std::string Quote(const std::string& path) { return "'" + path + "'"; }

void ExpectToolPresent(const std::string& name) {
  ASSERT_EQ(RunTool("command -v " + name).exitCode, 0)
      << name << " is missing; scripts/install-test-deps installs it";
}

void ExpectSgdiskVerifies(const std::string& path) {
  ExpectToolPresent("sgdisk");
  const RunResult verify = RunTool("sgdisk -v " + Quote(path));
  EXPECT_EQ(verify.exitCode, 0) << verify.output;
  EXPECT_NE(verify.output.find("No problems found."), std::string::npos) << verify.output;
  EXPECT_EQ(verify.output.find("Problem"), std::string::npos) << verify.output;
  EXPECT_EQ(verify.output.find("Warning"), std::string::npos) << verify.output;
}

struct ExpectedPartition {
  std::string name;
  uint64_t first, last;
  std::string typeGuid;  // empty: random, taken from the image's own bytes
};

// The text that follows `prefix` in `text`, up to the first of `stops`.
std::string After(const std::string& text, const std::string& prefix, const std::string& stops) {
  const size_t start = text.find(prefix);
  if (start == std::string::npos) return "<none>";
  const size_t from = start + prefix.size();
  const size_t end = text.find_first_of(stops, from);
  return text.substr(from, end == std::string::npos ? std::string::npos : end - from);
}
std::string JsonText(const std::string& json, const std::string& key) {
  return After(json, "\"" + key + "\": \"", "\"");
}
std::string JsonNumber(const std::string& json, const std::string& key) {
  return After(json, "\"" + key + "\": ", ", \n}");
}

TEST_F(GptPackTest, RealToolsReadThePaddedImageAsConfigured) {
  const std::string loaderGuid = "A60B0000-1C2D-4E5F-9A0B-1C2D3E4F5A6B";
  WriteBytes(dir_ / "uboot.img", RandomBytes(8192, 5));
  ASSERT_TRUE(
      Pack(SystemSection("0", "1") + "[PARTITION_TYPE_GUID]\nlinux=" + kLinuxGuidText +
           "\nloader=" + loaderGuid + "\n" +
           PartSection(1, "IDBlock", "2", "0x40", "0x80", "0", "ddr.bin,loader.bin", "loader") +
           PartSection(2, "uboot", "8", "0xC0", "0x40", "0", "uboot.img") +
           PartSection(3, "misc", "8", "0x100", "0x20", "2", "", "linux") +
           PartSection(4, "rootfs", "8", "0x120", "0x60", "0", "rootfs.img", "linux") +
           PartSection(5, "spare", "8", "0x180", "0x80", "1", "")))
      << out_.Text();
  const std::vector<ExpectedPartition> expected = {{"IDBlock", 0x40, 0xBF, loaderGuid},
                                                   {"uboot", 0xC0, 0xFF, ""},
                                                   {"misc", 0x100, 0x11F, kLinuxGuidText},
                                                   {"rootfs", 0x120, 0x17F, kLinuxGuidText},
                                                   {"spare", 0x180, 0x1FF, ""}};
  const std::string path = ImagePath();
  const Bytes image = Image();
  ASSERT_EQ(image.size(), (0x200u + 33) * kSec);

  ExpectSgdiskVerifies(path);

  ExpectToolPresent("sfdisk");
  const RunResult json = RunTool("sfdisk --json " + Quote(path));
  ASSERT_EQ(json.exitCode, 0) << json.output;
  EXPECT_EQ(JsonText(json.output, "id"), GuidText(image, ReadHeader(image, 1).diskGuidAt));
  EXPECT_EQ(JsonNumber(json.output, "lastlba"), std::to_string(0x1FF));
  std::vector<std::string> objects;
  for (size_t at = json.output.find("\"node\""); at != std::string::npos;) {
    const size_t next = json.output.find("\"node\"", at + 1);
    objects.push_back(
        json.output.substr(at, next == std::string::npos ? std::string::npos : next - at));
    at = next;
  }
  ASSERT_EQ(objects.size(), expected.size()) << json.output;

  ExpectToolPresent("parted");
  const RunResult parted = RunTool("parted -s -m " + Quote(path) + " unit s print");
  ASSERT_EQ(parted.exitCode, 0) << parted.output;

  for (size_t i = 0; i < expected.size(); ++i) {
    const ExpectedPartition& p = expected[i];
    const EntryView entry = ReadEntry(image, 2, i);
    const std::string type = p.typeGuid.empty() ? entry.typeGuid : p.typeGuid;
    EXPECT_EQ(entry.typeGuid, type) << p.name;
    const std::string number = std::to_string(i + 1);

    const RunResult info = RunTool("sgdisk -i " + number + " " + Quote(path));
    ASSERT_EQ(info.exitCode, 0) << info.output;
    EXPECT_EQ(After(info.output, "Partition GUID code: ", " \n"), type) << info.output;
    EXPECT_EQ(After(info.output, "Partition unique GUID: ", " \n"), entry.uniqueGuid);
    EXPECT_EQ(After(info.output, "First sector: ", " \n"), std::to_string(p.first));
    EXPECT_EQ(After(info.output, "Last sector: ", " \n"), std::to_string(p.last));
    EXPECT_EQ(After(info.output, "Partition name: '", "'"), p.name);

    const std::string& object = objects[i];
    EXPECT_EQ(JsonNumber(object, "start"), std::to_string(p.first)) << object;
    EXPECT_EQ(JsonNumber(object, "size"), std::to_string(p.last - p.first + 1)) << object;
    EXPECT_EQ(JsonText(object, "type"), type) << object;
    EXPECT_EQ(JsonText(object, "uuid"), entry.uniqueGuid) << object;
    EXPECT_EQ(JsonText(object, "name"), p.name) << object;

    const std::string line = number + ":" + std::to_string(p.first) +
                             "s:" + std::to_string(p.last) +
                             "s:" + std::to_string(p.last - p.first + 1) + "s::" + p.name + ":;";
    EXPECT_NE(parted.output.find("\n" + line + "\n"), std::string::npos) << line << "\n"
                                                                         << parted.output;
  }
}

// Only the last partition runs to the last usable sector when it grows; an
// earlier one with the grow flag keeps its configured size, in the table
// and as sgdisk reads it.
TEST_F(GptPackTest, OnlyTheLastGrowingPartitionRunsToTheLastUsableSector) {
  ASSERT_TRUE(Pack(SystemSection("0", "0") +
                   PartSection(1, "boot", "2", "0x40", "0x400", "0", "ddr.bin,loader.bin") +
                   PartSection(2, "early", "8", "0x800", "0x100", "4", "data.img") +
                   PartSection(3, "middle", "8", "0xC00", "0x100", "4", "data.img") +
                   PartSection(4, "last", "8", "0x1000", "0", "4", "data.img")))
      << out_.Text();
  const Bytes image = Image();
  const uint64_t lastUsable = ReadHeader(image, 1).lastUsable;
  EXPECT_EQ(lastUsable, kAllOnes - 34);
  const struct {
    const char* name;
    uint64_t first, last;
  } expected[] = {{"early", 0x800, 0x8FF}, {"middle", 0xC00, 0xCFF}, {"last", 0x1000, lastUsable}};
  ExpectToolPresent("sgdisk");
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(expected[i].name);
    const EntryView entry = ReadEntry(image, 2, i + 1);
    EXPECT_EQ(entry.name, Units(expected[i].name));
    EXPECT_EQ(entry.firstLba, expected[i].first);
    EXPECT_EQ(entry.lastLba, expected[i].last);
    const RunResult info = RunTool("sgdisk -i " + std::to_string(i + 2) + " " + Quote(ImagePath()));
    EXPECT_EQ(After(info.output, "Partition name: '", "'"), expected[i].name) << info.output;
    EXPECT_EQ(After(info.output, "Last sector: ", " \n"), std::to_string(expected[i].last))
        << info.output;
  }
}

TEST(GptExecutable, SameConfigurationGivesTheSameGuidsOnEveryRun) {
  TempDir dir;
  WriteBytes(dir / "ddr.bin", RandomBytes(3000, 1));
  WriteBytes(dir / "loader.bin", RandomBytes(9000, 2));
  WriteBytes(dir / "rootfs.img", RandomBytes(kRootfsBytes, 3));
  WriteText(dir / "setting.ini", WorkedExample("0"));
  std::filesystem::create_directory(dir / "first");
  std::filesystem::create_directory(dir / "second");
  // Separate processes: each starts the unseeded generator afresh.
  const RunResult first = RunImgweld({"-P", dir / "setting.ini", dir / "first"});
  const RunResult second = RunImgweld({"-P", dir / "setting.ini", dir / "second"});
  ASSERT_EQ(first.exitCode, 0) << first.output;
  ASSERT_EQ(second.exitCode, 0) << second.output;
  EXPECT_EQ(first.output, second.output);
  const Bytes a = ReadBytes(dir / "first/Firmware.img");
  const Bytes b = ReadBytes(dir / "second/Firmware.img");
  ASSERT_EQ(a.size(), 0x3021u * kSec);
  EXPECT_EQ(a, b);
  const GptHeaderView h = ReadHeader(a, 1);
  std::set<std::string> random = {GuidText(a, h.diskGuidAt), ReadEntry(a, 2, 0).typeGuid,
                                  ReadEntry(a, 2, 0).uniqueGuid, ReadEntry(a, 2, 1).uniqueGuid};
  EXPECT_EQ(random.size(), 4u);

  // An unseeded generator starts as if seeded with 1. Drawn in order: the
  // disk GUID, then the random boot partition's unique and type GUIDs, then
  // the configured rootfs partition's unique GUID.
  std::srand(1);
  const auto next = [] {
    Bytes guid(16);
    for (size_t i = 0; i < 16; ++i)
      guid[i] = static_cast<uint8_t>(std::rand() >> (24 - 8 * (i % 4)));
    guid[7] = static_cast<uint8_t>((guid[7] & 0x0F) | 0x40);
    guid[8] |= 0x80;
    return GuidText(guid, 0);
  };
  EXPECT_EQ(GuidText(a, h.diskGuidAt), next());
  EXPECT_EQ(ReadEntry(a, 2, 0).uniqueGuid, next());
  EXPECT_EQ(ReadEntry(a, 2, 0).typeGuid, next());
  EXPECT_EQ(ReadEntry(a, 2, 1).uniqueGuid, next());
}

TEST(GptExecutable, PacksTheExampleBoardIntoAVerifiedDisk) {
  TempDir dir;
  const std::string config = SourceDir() + "/examples/gpt-board/setting.ini";
  const RunResult run = RunImgweld({"-P", config, dir.Path().string()});
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(run.output.find("writing backup gpt...\r\nGenerating GPT firmware OK.\r\n"),
            std::string::npos)
      << run.output;
  const std::string path = dir / "Firmware.img";
  ExpectSgdiskVerifies(path);
  const RunResult print = RunTool("sgdisk -p " + Quote(path));
  EXPECT_NE(print.output.find("   5             384             511"), std::string::npos)
      << print.output;
}

// Opt-in GUIDs replace the drawn disk GUID and unique partition GUIDs, and
// real tools read them back; the other GUIDs stay what they would have been.
TEST(GptExecutable, ConfiguredDiskAndPartitionGuidsAreWhatSgdiskReads) {
  ExpectToolPresent("sgdisk");
  TempDir dir;
  const std::string disk = "0F1E2D3C-4B5A-4978-8796-A5B4C3D2E1F0";
  const std::string unique = "01234567-89AB-4CDE-8F01-23456789ABCD";
  const std::string base = "[System]\nGpt_Enable=0\nBackup_Partition_Enable=1\n" +
                           PartSection(1, "a", "8", "0x40", "8", "2", "") +
                           PartSection(2, "b", "8", "0x48", "8", "2", "");
  WriteText(dir / "plain.ini", base);
  WriteText(dir / "set.ini",
            "[System]\nDisk_Guid=" + disk + "\n" + base.substr(9) + "Unique_Guid=" + unique + "\n");
  std::filesystem::create_directories(dir / "plain");
  std::filesystem::create_directories(dir / "set");
  ASSERT_EQ(RunImgweld({"-P", dir / "plain.ini", dir / "plain"}).exitCode, 0);
  const RunResult run = RunImgweld({"-P", dir / "set.ini", dir / "set"});
  ASSERT_EQ(run.exitCode, 0) << run.output;
  const std::string path = dir / "set/Firmware.img";
  ExpectSgdiskVerifies(path);
  EXPECT_NE(RunTool("sgdisk -p " + Quote(path)).output.find("Disk identifier (GUID): " + disk),
            std::string::npos);
  EXPECT_NE(RunTool("sgdisk -i 2 " + Quote(path)).output.find("Partition unique GUID: " + unique),
            std::string::npos);
  const Bytes plain = ReadBytes(dir / "plain/Firmware.img");
  const Bytes set = ReadBytes(path);
  EXPECT_EQ(ReadEntry(set, 2, 0).uniqueGuid, ReadEntry(plain, 2, 0).uniqueGuid);
  EXPECT_EQ(ReadEntry(set, 2, 1).typeGuid, ReadEntry(plain, 2, 1).typeGuid);
  EXPECT_NE(ReadEntry(set, 2, 1).uniqueGuid, ReadEntry(plain, 2, 1).uniqueGuid);

  WriteText(dir / "bad.ini", base + "Unique_Guid=0123456789AB\n");
  const RunResult bad = RunImgweld({"-P", dir / "bad.ini", dir / "set"});
  EXPECT_EQ(bad.exitCode, 3);
  EXPECT_NE(bad.output.find("Packing Error:Unique_Guid in section UserPart2 is not a GUID of the "
                            "form XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX!\r\n"),
            std::string::npos)
      << bad.output;
  EXPECT_EQ(bad.output.find("writing mbr"), std::string::npos) << bad.output;
}

TEST(GptExecutable, RefusalsEndWithExitCode3) {
  TempDir dir;
  WriteText(dir / "setting.ini", SystemSection("0", "0") + "[PARTITION_TYPE_GUID]\nbad=1234\n" +
                                     PartSection(1, "a", "8", "0x40", "8", "2", "", "bad"));
  const RunResult run = RunImgweld({"-P", dir / "setting.ini", dir.Path().string()});
  EXPECT_EQ(run.exitCode, 3) << run.output;
  EXPECT_NE(run.output.find("Packing Error:bad in section PARTITION_TYPE_GUID"), std::string::npos)
      << run.output;
}

// The opt-in Attributes key lands in bytes 48..55 of the partition's entry
// in both layouts, as real tools read them; a value that is no 64-bit
// number is refused before anything is written.
TEST(GptExecutable, PartitionAttributesAreWrittenIntoTheEntries) {
  TempDir dir;
  const struct {
    const char* layout;
    std::string attributes;  // of partition 1; partition 2 has none
    uint64_t value;
    std::string sfdiskAttrs;  // empty: sfdisk and sgdisk are not asked (compact layout)
  } cases[] = {
      {"0", "0x4", 4, "LegacyBIOSBootable"},
      {"0", "0x8000000000000001", 0x8000000000000001, "RequiredPartition GUID:63"},
      {"1", "0x4", 4, ""},
      {"1", "18446744073709551615", ~uint64_t{0}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.layout) + " " + c.attributes);
    const std::string config =
        SystemSection(c.layout, "1") + PartSection(1, "a", "8", "0x40", "8", "2", "") +
        "Attributes=" + c.attributes + "\n" + PartSection(2, "b", "8", "0x48", "8", "2", "");
    WriteText(dir / "setting.ini", config);
    const RunResult run = RunImgweld({"-P", dir / "setting.ini", dir.Path().string()});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const std::string path = dir / "Firmware.img";
    const Bytes image = ReadBytes(path);
    EXPECT_EQ(LeAt(image, 2 * kSec + 48, 8), c.value);
    EXPECT_EQ(LeAt(image, 2 * kSec + 128 + 48, 8), 0u);
    // A rebuild kit carries them: -X succeeds only when its kit packs the same bytes.
    std::filesystem::remove_all(dir / "kit");
    std::filesystem::create_directory(dir / "kit");
    const RunResult kit = RunImgweld({"-X", path, dir / "kit"});
    EXPECT_EQ(kit.exitCode, 0) << kit.output;
    char line[40];
    std::snprintf(line, sizeof line, "\nAttributes=0x%llX\n",
                  static_cast<unsigned long long>(c.value));
    EXPECT_NE(ReadText(dir / "kit/setting.ini").find(line), std::string::npos) << line;
    if (c.sfdiskAttrs.empty()) continue;
    ExpectSgdiskVerifies(path);
    char flags[17];
    std::snprintf(flags, sizeof flags, "%016llx", static_cast<unsigned long long>(c.value));
    EXPECT_EQ(After(RunTool("sgdisk -i 1 " + Quote(path)).output, "Attribute flags: ", "\n"),
              flags);
    const RunResult json = RunTool("sfdisk --json " + Quote(path));
    EXPECT_EQ(JsonText(json.output, "attrs"), c.sfdiskAttrs) << json.output;
    // Only the first partition has an "attrs" key.
    EXPECT_EQ(json.output.find("\"attrs\"", json.output.find("\"attrs\"") + 1), std::string::npos);
  }
  for (const char* bad : {"-1", "4k", "0x10000000000000000", "0x", " 4"}) {
    SCOPED_TRACE(bad);
    std::filesystem::remove(dir / "Firmware.img");
    WriteText(dir / "setting.ini", SystemSection("0", "1") +
                                       PartSection(1, "a", "8", "0x40", "8", "2", "") +
                                       "Attributes=" + bad + "\n");
    const RunResult run = RunImgweld({"-P", dir / "setting.ini", dir.Path().string()});
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_NE(run.output.find("Packing Error:Attributes=" + std::string(bad) +
                              " in section UserPart1 is not a number of at most 64 bits!\r\n"),
              std::string::npos)
        << run.output;
    EXPECT_FALSE(std::filesystem::exists(dir / "Firmware.img"));
  }
}

}  // namespace
}  // namespace imgweld::test
