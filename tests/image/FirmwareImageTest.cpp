#include "image/FirmwareImage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace imgweld {
namespace {

// The test's own little-endian reading of stored bytes, so the encoders are
// checked against the layout rather than against their own decoders.
uint32_t Le(std::span<const uint8_t> bytes, size_t offset, size_t width) {
  uint64_t value = 0;
  for (size_t i = 0; i < width; ++i) value |= static_cast<uint64_t>(bytes[offset + i]) << (8 * i);
  return static_cast<uint32_t>(value);
}
uint64_t Le64(std::span<const uint8_t> bytes, size_t offset) {
  return Le(bytes, offset, 4) | static_cast<uint64_t>(Le(bytes, offset + 4, 4)) << 32;
}
std::string Text(std::span<const uint8_t> bytes, size_t offset, size_t width) {
  return std::string(reinterpret_cast<const char*>(bytes.data() + offset), width);
}
bool AllZero(std::span<const uint8_t> bytes, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

// Bit-by-bit MSB-first CRC-32 with the image's polynomial (bit 12 clear).
uint32_t ReferenceCrc(std::span<const uint8_t> data) {
  uint32_t reg = 0;
  for (uint8_t b : data) {
    reg ^= static_cast<uint32_t>(b) << 24;
    for (int bit = 0; bit < 8; ++bit)
      reg = (reg & 0x80000000u) != 0 ? (reg << 1) ^ 0x04C10DB7u : reg << 1;
  }
  return reg;
}

FirmwareHeader SampleHeader() {
  FirmwareHeader header;
  header.tag = kFirmwareTag;
  header.year = 2024;
  header.month = 3;
  header.day = 5;
  header.hour = 14;
  header.minute = 7;
  header.second = 9;
  header.version = (1u << 24) | (2u << 16) | 3u;
  header.headerLength = 512;
  header.tableSector = 1;
  header.imageSectors = 0x12345;
  header.entrySize = 128;
  header.entryCount = 3;
  header.imageLength = 0x12345 * 512 + 4096;
  header.backupDisabled = 0;
  std::memcpy(header.chip.data(), "RK", 2);
  std::memcpy(header.model.data(), "0123456789abcdefghijklmnopqrstuv", 32);
  header.tableCrc = 0xA1B2C3D4u;
  header.headerCrc = 0x11223344u;
  return header;
}

PartitionEntry SampleEntry(const std::string& name, uint32_t offset) {
  PartitionEntry entry;
  entry.SetName(name);
  entry.type = 0x77;
  entry.offset = offset;
  entry.size = 0x800;
  entry.dataLength = 0x1'2345'6789ull;
  entry.flag = PART_FLAG_GROW;
  std::memcpy(entry.typeGuid.data(), "linux_data", 10);
  entry.sourceFile = name + ".img";
  return entry;
}

TEST(FirmwareRecord, HeaderFieldsLandAtTheirOffsets) {
  const HeaderBytes bytes = EncodeHeader(SampleHeader());
  EXPECT_EQ(Text(bytes, 0x000, 4), "ZVFP");
  const std::vector<uint8_t> date(bytes.begin() + 0x04, bytes.begin() + 0x0C);
  EXPECT_EQ(date, (std::vector<uint8_t>{0xE8, 0x07, 0x03, 0x05, 0x0E, 0x07, 0x09, 0x00}));
  EXPECT_EQ(Le(bytes, 0x00C, 4), 0x01020003u);
  EXPECT_EQ(Le(bytes, 0x010, 4), 512u);
  EXPECT_EQ(Le(bytes, 0x014, 4), 1u);
  EXPECT_EQ(Le(bytes, 0x018, 4), 0x12345u);
  EXPECT_EQ(Le(bytes, 0x01C, 4), 128u);
  EXPECT_EQ(Le(bytes, 0x020, 4), 3u);
  EXPECT_EQ(Le(bytes, 0x024, 4), 0x12345u * 512 + 4096);
  EXPECT_EQ(bytes[0x028], 0);
  EXPECT_EQ(Text(bytes, 0x029, 4), std::string("RK\0\0", 4));
  EXPECT_EQ(Text(bytes, 0x02D, 32), "0123456789abcdefghijklmnopqrstuv");
  EXPECT_TRUE(AllZero(bytes, 0x04D, 0x1F8));
  EXPECT_EQ(Le(bytes, 0x1F8, 4), 0xA1B2C3D4u);
  EXPECT_EQ(Le(bytes, 0x1FC, 4), 0x11223344u);
}

TEST(FirmwareRecord, HeaderRoundTrips) {
  FirmwareHeader header = SampleHeader();
  header.backupDisabled = 1;
  const HeaderBytes bytes = EncodeHeader(header);
  const FirmwareHeader back = DecodeHeader(bytes);
  EXPECT_EQ(EncodeHeader(back), bytes);
  EXPECT_EQ(back.year, 2024);
  EXPECT_EQ(back.version, 0x01020003u);
  EXPECT_EQ(back.backupDisabled, 1);
  EXPECT_EQ(back.model, header.model);
  EXPECT_EQ(back.headerCrc, 0x11223344u);
}

TEST(FirmwareRecord, EntryFieldsLandAtTheirOffsetsAndRoundTrip) {
  const PartitionEntry entry = SampleEntry("system", 0x2000);
  const EntryBytes bytes = EncodeEntry(entry);
  EXPECT_EQ(Text(bytes, 0x00, 32), std::string("system") + std::string(26, '\0'));
  EXPECT_EQ(Le(bytes, 0x20, 4), 0x77u);
  EXPECT_EQ(Le(bytes, 0x24, 4), 0x2000u);
  EXPECT_EQ(Le(bytes, 0x28, 4), 0x800u);
  EXPECT_EQ(Le64(bytes, 0x2C), 0x1'2345'6789ull);
  EXPECT_EQ(Le(bytes, 0x34, 4), PART_FLAG_GROW);
  EXPECT_EQ(Text(bytes, 0x38, 10), "linux_data");
  EXPECT_TRUE(AllZero(bytes, 0x38 + 10, 0x80));

  const PartitionEntry back = DecodeEntry(bytes);
  EXPECT_EQ(EncodeEntry(back), bytes);
  EXPECT_EQ(back.Name(), "system");
  EXPECT_EQ(back.dataLength, 0x1'2345'6789ull);
  EXPECT_TRUE(back.sourceFile.empty());  // never stored
}

TEST(FirmwareRecord, NameKeepsAtMost31CharactersAndReadsUpToItsNul) {
  PartitionEntry entry;
  entry.SetName(std::string(40, 'x'));
  EXPECT_EQ(entry.Name(), std::string(31, 'x'));
  EXPECT_EQ(entry.name[31], '\0');

  entry.SetName("boot");
  EXPECT_EQ(entry.Name(), "boot");
  const EntryBytes bytes = EncodeEntry(entry);
  EXPECT_TRUE(AllZero(bytes, 4, 32));  // nothing left of the longer name

  // A record read from an image may use all 32 bytes without a terminator.
  entry.name.fill('n');
  EXPECT_EQ(entry.Name(), std::string(32, 'n'));
}

TEST(FirmwareRecord, BootFieldsOverlayTheStartOfTypeGuid) {
  PartitionEntry entry = SampleEntry("IDBlock", 0x40);
  entry.typeGuid.fill(0xEE);
  SetBootFields(entry, {1, 0x00012345u, 0xCAFEBABEu});
  const EntryBytes bytes = EncodeEntry(entry);
  EXPECT_EQ(bytes[0x38], 1);
  EXPECT_EQ(Le(bytes, 0x39, 4), 0x00012345u);
  EXPECT_EQ(Le(bytes, 0x3D, 4), 0xCAFEBABEu);
  EXPECT_EQ(bytes[0x41], 0xEE);  // the rest of the field is left alone

  const BootFields back = GetBootFields(DecodeEntry(bytes));
  EXPECT_EQ(back.bootLayout, 1);
  EXPECT_EQ(back.firstFileLength, 0x00012345u);
  EXPECT_EQ(back.secondFileLength, 0xCAFEBABEu);
}

TEST(FirmwareRecord, VendorRecord) {
  const EntryBytes bytes = EncodeEntry(MakeVendorEntry());
  EXPECT_EQ(Text(bytes, 0x00, 32), std::string("vendor") + std::string(26, '\0'));
  EXPECT_EQ(Le(bytes, 0x20, 4), 1u);
  EXPECT_EQ(Le(bytes, 0x24, 4), 8u);
  EXPECT_EQ(Le(bytes, 0x28, 4), 56u);
  EXPECT_EQ(Le64(bytes, 0x2C), 0x7000u);
  EXPECT_EQ(Le(bytes, 0x34, 4), 1u);
  EXPECT_TRUE(AllZero(bytes, 0x38, 0x80));
}

TEST(FirmwareTable, AssembledBlockHoldsHeaderRecordsAndChecksums) {
  const std::vector<PartitionEntry> parts = {SampleEntry("IDBlock", 0x40),
                                             SampleEntry("system", 0x2000)};
  FirmwareHeader header = SampleHeader();
  header.entryCount = 0;
  const TableBlock block = AssembleTableBlock(header, parts);

  EXPECT_EQ(header.entryCount, 3u);
  EXPECT_EQ(Le(block, 0x020, 4), 3u);
  const HeaderBytes encoded = EncodeHeader(header);
  EXPECT_TRUE(std::equal(encoded.begin(), encoded.end(), block.begin()));
  EXPECT_EQ(Text(block, 0x200, 7), std::string("vendor\0", 7));
  EXPECT_EQ(Le(block, 0x200 + 0x20, 4), 1u);
  EXPECT_EQ(Text(block, 0x280, 8), std::string("IDBlock\0", 8));
  EXPECT_EQ(Text(block, 0x300, 7), std::string("system\0", 7));
  EXPECT_EQ(Le(block, 0x300 + 0x24, 4), 0x2000u);
  EXPECT_TRUE(AllZero(block, 0x200 + 3 * 128, 0x1000));

  const uint32_t tableCrc = ReferenceCrc(std::span<const uint8_t>(block).subspan(0x200, 3 * 128));
  EXPECT_EQ(Le(block, 0x1F8, 4), tableCrc);
  EXPECT_EQ(header.tableCrc, tableCrc);
  const uint32_t headerCrc = ReferenceCrc(std::span<const uint8_t>(block).first(0x1FC));
  EXPECT_EQ(Le(block, 0x1FC, 4), headerCrc);
  EXPECT_EQ(header.headerCrc, headerCrc);
}

TEST(FirmwareTable, HeaderCrcCoversEveryByteBeforeIt) {
  FirmwareHeader header = SampleHeader();
  const TableBlock block = AssembleTableBlock(header, {});
  const uint32_t stored = Le(block, 0x1FC, 4);
  std::vector<uint8_t> bytes(block.begin(), block.begin() + 0x1FC);
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] ^= 0x01;
    ASSERT_NE(ReferenceCrc(bytes), stored) << "byte " << i;
    bytes[i] ^= 0x01;
  }
  EXPECT_EQ(ReferenceCrc(bytes), stored);

  // A changed field gives a different stored checksum.
  FirmwareHeader other = SampleHeader();
  other.model[31] = 'w';
  AssembleTableBlock(other, {});
  EXPECT_EQ(other.tableCrc, header.tableCrc);
  EXPECT_NE(other.headerCrc, header.headerCrc);
}

TEST(FirmwareTable, ChangingARecordChangesBothChecksums) {
  std::vector<PartitionEntry> parts = {SampleEntry("IDBlock", 0x40), SampleEntry("system", 0x2000)};
  FirmwareHeader first = SampleHeader();
  AssembleTableBlock(first, parts);
  parts[1].dataLength += 1;
  FirmwareHeader second = SampleHeader();
  AssembleTableBlock(second, parts);
  EXPECT_NE(second.tableCrc, first.tableCrc);
  EXPECT_NE(second.headerCrc, first.headerCrc);

  // The source file lives only in memory and takes no part.
  parts[1].dataLength -= 1;
  parts[1].sourceFile = "elsewhere.img";
  FirmwareHeader third = SampleHeader();
  AssembleTableBlock(third, parts);
  EXPECT_EQ(third.tableCrc, first.tableCrc);
}

TEST(FirmwareTable, FullTableFitsAndExtraRecordsAreNotStored) {
  std::vector<PartitionEntry> parts;
  for (size_t i = 0; i < kMaxTaggedPartitions + 1; ++i) {
    parts.push_back(SampleEntry("p" + std::to_string(i), static_cast<uint32_t>(0x100 + i)));
  }
  FirmwareHeader header = SampleHeader();
  const TableBlock block = AssembleTableBlock(header, parts);
  EXPECT_EQ(header.entryCount, 28u);
  const size_t last = 0x200 + 27 * 128;
  EXPECT_EQ(last + 128, kTableBlockSize);
  EXPECT_EQ(Text(block, last, 4), std::string("p26\0", 4));
  EXPECT_EQ(Le(block, 0x1F8, 4),
            ReferenceCrc(std::span<const uint8_t>(block).subspan(0x200, 28 * 128)));
}

TEST(FirmwareTable, BackupBlockMovesTheHeaderToTheEnd) {
  FirmwareHeader header = SampleHeader();
  const TableBlock block =
      AssembleTableBlock(header, std::vector<PartitionEntry>{SampleEntry("a", 64)});
  const TableBlock backup = MakeBackupBlock(block);
  EXPECT_TRUE(std::equal(block.begin() + 0x200, block.end(), backup.begin()));
  EXPECT_TRUE(std::equal(block.begin(), block.begin() + 0x200, backup.begin() + 0xE00));
  EXPECT_EQ(Text(backup, 0xE00, 4), "ZVFP");
  EXPECT_EQ(Text(backup, 0x000, 6), "vendor");
}

}  // namespace
}  // namespace imgweld
