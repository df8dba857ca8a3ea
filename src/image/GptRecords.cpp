#include "image/GptRecords.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "common/ByteIO.h"
#include "image/Checksums.h"

namespace imgweld {
namespace {

constexpr std::array<uint8_t, 8> kGptSignature = {'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};
constexpr size_t kGuidTextLength = 36;
// Where the four separators of the text form stand.
constexpr std::array<size_t, 4> kGuidDashes = {8, 13, 18, 23};

std::optional<uint8_t> HexDigit(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  return std::nullopt;
}

bool IsGuidText(std::string_view text) {
  if (text.size() != kGuidTextLength) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool dash = std::find(kGuidDashes.begin(), kGuidDashes.end(), i) != kGuidDashes.end();
    if (dash ? text[i] != '-' : !HexDigit(text[i])) return false;
  }
  return true;
}

// The value of `digits` hexadecimal digits from `at`; the text is known to
// hold them.
uint64_t HexGroup(std::string_view text, size_t at, size_t digits) {
  uint64_t value = 0;
  for (size_t i = at; i < at + digits; ++i) value = (value << 4) | *HexDigit(text[i]);
  return value;
}

// Bits `shift` to `shift` + 7 of one `rand` result.
uint8_t RandomByte(int shift) {
  return static_cast<uint8_t>(static_cast<unsigned>(std::rand()) >> shift);
}

}  // namespace

SectorBytes EncodeProtectiveMbr(const ProtectiveMbr& mbr) {
  SectorBytes bytes{};
  ByteWriter writer(bytes);
  writer.U8(446, mbr.status);
  writer.U8(450, mbr.partitionType);
  writer.U32(454, mbr.firstLba);
  writer.U32(458, mbr.sectorCount);
  writer.Bytes(510, mbr.signature);
  return bytes;
}

bool IsProtectiveMbr(std::span<const uint8_t> sector) {
  ByteReader reader(sector);
  const ProtectiveMbr expected;
  return reader.U8(450) == expected.partitionType && reader.U8(510) == expected.signature[0] &&
         reader.U8(511) == expected.signature[1] && reader.Ok();
}

SectorBytes EncodeGptHeader(const GptHeader& header) {
  SectorBytes bytes{};
  ByteWriter writer(bytes);
  writer.Bytes(0, kGptSignature);
  writer.U32(8, header.revision);
  writer.U32(12, header.headerSize);
  writer.U32(16, header.headerCrc);
  writer.U64(24, header.currentLba);
  writer.U64(32, header.backupLba);
  writer.U64(40, header.firstUsableLba);
  writer.U64(48, header.lastUsableLba);
  writer.Bytes(56, header.diskGuid);
  writer.U64(72, header.arrayLba);
  writer.U32(80, header.entryCount);
  writer.U32(84, header.entrySize);
  writer.U32(88, header.arrayCrc);
  writer.U16(108, header.layoutMarker);
  writer.U16(110, header.backupEnabled);
  writer.U16(112, header.partitionCount);
  const size_t lengths = std::min<size_t>(header.partitionCount, kMaxGptPartitions);
  for (size_t i = 0; i < lengths; ++i) {
    writer.U64(kGptLengthsOffset + 8 * i, header.dataLengths[i]);
  }
  return bytes;
}

GptEntryBytes EncodeGptEntry(const GptEntry& entry) {
  GptEntryBytes bytes{};
  ByteWriter writer(bytes);
  writer.Bytes(0, entry.typeGuid);
  writer.Bytes(16, entry.uniqueGuid);
  writer.U64(32, entry.firstLba);
  writer.U64(40, entry.lastLba);
  writer.U64(48, entry.attributes);
  for (size_t i = 0; i < entry.name.size(); ++i) writer.U16(56 + 2 * i, entry.name[i]);
  return bytes;
}

GptTables EncodeGptTables(GptHeader header, std::span<const GptEntry> entries) {
  GptTables tables;
  tables.array.assign(kGptArraySize, 0);
  const size_t count = std::min<size_t>(entries.size(), kGptEntryCount);
  for (size_t i = 0; i < count; ++i) {
    const GptEntryBytes bytes = EncodeGptEntry(entries[i]);
    std::copy(bytes.begin(), bytes.end(),
              tables.array.begin() + static_cast<std::ptrdiff_t>(i * kGptEntrySize));
  }
  header.arrayCrc = Crc32(tables.array, 0);
  tables.header = EncodeGptHeader(header);
  SealGptHeader(tables.header);
  return tables;
}

std::array<uint16_t, 36> WidenName(std::string_view name) {
  std::array<uint16_t, 36> units{};
  const size_t count = std::min(name.size(), units.size());
  for (size_t i = 0; i < count; ++i) {
    const auto signedByte = static_cast<int8_t>(static_cast<uint8_t>(name[i]));
    units[i] = static_cast<uint16_t>(static_cast<int16_t>(signedByte));
  }
  return units;
}

void RandomGuid(Guid& guid) {
  for (size_t word = 0; word < 4; ++word) {
    guid[4 * word] = RandomByte(24);
    guid[4 * word + 1] = RandomByte(16);
    guid[4 * word + 2] = RandomByte(8);
    guid[4 * word + 3] = RandomByte(0);
  }
  guid[7] = static_cast<uint8_t>((guid[7] & 0x0F) | 0x40);
  guid[8] = static_cast<uint8_t>(guid[8] | 0x80);
}

bool ParseGuidText(std::string_view text, Guid& guid) {
  guid.fill(0);
  if (!IsGuidText(text)) return false;
  ByteWriter writer(guid);
  writer.U32(0, static_cast<uint32_t>(HexGroup(text, 0, 8)));
  writer.U16(4, static_cast<uint16_t>(HexGroup(text, 9, 4)));
  writer.U16(6, static_cast<uint16_t>(HexGroup(text, 14, 4)));
  // The last two groups are stored in text order: two digits per byte.
  for (size_t i = 0; i < 2; ++i) guid[8 + i] = static_cast<uint8_t>(HexGroup(text, 19 + 2 * i, 2));
  for (size_t i = 0; i < 6; ++i) guid[10 + i] = static_cast<uint8_t>(HexGroup(text, 24 + 2 * i, 2));
  return true;
}

bool HasGptSignature(std::span<const uint8_t, kSectorSize> sector) {
  return std::equal(kGptSignature.begin(), kGptSignature.end(), sector.begin());
}

ProtectiveMbr DecodeProtectiveMbr(std::span<const uint8_t, kSectorSize> sector) {
  ByteReader reader(sector);
  ProtectiveMbr mbr;
  mbr.status = reader.U8(446);
  mbr.partitionType = reader.U8(450);
  mbr.firstLba = reader.U32(454);
  mbr.sectorCount = reader.U32(458);
  reader.Bytes(510, mbr.signature);
  return mbr;
}

GptHeader DecodeGptHeader(std::span<const uint8_t, kSectorSize> sector) {
  ByteReader reader(sector);
  GptHeader header;
  header.revision = reader.U32(8);
  header.headerSize = reader.U32(12);
  header.headerCrc = reader.U32(16);
  header.currentLba = reader.U64(24);
  header.backupLba = reader.U64(32);
  header.firstUsableLba = reader.U64(40);
  header.lastUsableLba = reader.U64(48);
  reader.Bytes(56, header.diskGuid);
  header.arrayLba = reader.U64(72);
  header.entryCount = reader.U32(80);
  header.entrySize = reader.U32(84);
  header.arrayCrc = reader.U32(88);
  header.layoutMarker = reader.U16(108);
  header.backupEnabled = reader.U16(110);
  header.partitionCount = reader.U16(112);
  const size_t lengths = std::min<size_t>(header.partitionCount, kMaxGptPartitions);
  for (size_t i = 0; i < lengths; ++i) {
    header.dataLengths[i] = reader.U64(kGptLengthsOffset + 8 * i);
  }
  return header;
}

GptEntry DecodeGptEntry(std::span<const uint8_t, kGptEntrySize> bytes) {
  ByteReader reader(bytes);
  GptEntry entry;
  reader.Bytes(0, entry.typeGuid);
  reader.Bytes(16, entry.uniqueGuid);
  entry.firstLba = reader.U64(32);
  entry.lastLba = reader.U64(40);
  entry.attributes = reader.U64(48);
  for (size_t i = 0; i < entry.name.size(); ++i) entry.name[i] = reader.U16(56 + 2 * i);
  return entry;
}

std::string GuidText(const Guid& guid) {
  ByteReader reader(guid);
  char text[kGuidTextLength + 1];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                reader.U32(0), reader.U16(4), reader.U16(6), guid[8], guid[9], guid[10], guid[11],
                guid[12], guid[13], guid[14], guid[15]);
  return text;
}

std::optional<std::string> NarrowName(const std::array<uint16_t, 36>& units) {
  std::string name;
  for (uint16_t unit : units) {
    if (unit == 0) break;
    if (unit > 0x7F && unit < 0xFF80) return std::nullopt;
    name.push_back(static_cast<char>(unit & 0xFF));
  }
  return name;
}

void SealGptHeader(std::span<uint8_t, kSectorSize> header) {
  ByteWriter writer(header);
  ByteReader reader(header);
  const size_t covered = std::min<size_t>(reader.U32(12), header.size());
  writer.U32(16, 0);
  writer.U32(16, Crc32(std::span<const uint8_t>(header.data(), covered), 0));
}

void MakeBackupGptHeader(std::span<const uint8_t, kSectorSize> primary,
                         std::span<uint8_t, kSectorSize> backup) {
  std::memcpy(backup.data(), primary.data(), kSectorSize);
  ByteReader reader(primary);
  ByteWriter writer(backup);
  writer.U64(24, reader.U64(32));
  writer.U64(32, reader.U64(24));
  writer.U64(72, reader.U64(48) + 1);
  SealGptHeader(backup);
}

}  // namespace imgweld
