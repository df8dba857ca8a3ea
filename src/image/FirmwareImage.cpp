#include "image/FirmwareImage.h"

#include <algorithm>
#include <cstring>

#include "common/ByteIO.h"
#include "image/Checksums.h"

namespace imgweld {

namespace {

// Offsets of the fields as stored; the header and records are packed, so
// several of them are unaligned.
namespace header_at {
constexpr size_t kTag = 0x000;
constexpr size_t kYear = 0x004;
constexpr size_t kMonth = 0x006;
constexpr size_t kDay = 0x007;
constexpr size_t kHour = 0x008;
constexpr size_t kMinute = 0x009;
constexpr size_t kSecond = 0x00A;
constexpr size_t kVersion = 0x00C;
constexpr size_t kHeaderLength = 0x010;
constexpr size_t kTableSector = 0x014;
constexpr size_t kImageSectors = 0x018;
constexpr size_t kEntrySize = 0x01C;
constexpr size_t kEntryCount = 0x020;
constexpr size_t kImageLength = 0x024;
constexpr size_t kBackupDisabled = 0x028;
constexpr size_t kChip = 0x029;
constexpr size_t kModel = 0x02D;
constexpr size_t kTableCrc = 0x1F8;
constexpr size_t kHeaderCrc = 0x1FC;
}  // namespace header_at

namespace entry_at {
constexpr size_t kName = 0x00;
constexpr size_t kType = 0x20;
constexpr size_t kOffset = 0x24;
constexpr size_t kSize = 0x28;
constexpr size_t kDataLength = 0x2C;
constexpr size_t kFlag = 0x34;
constexpr size_t kTypeGuid = 0x38;
// The boot fields, as positions inside `typeGuid`.
constexpr size_t kBootLayout = 0x38 - kTypeGuid;
constexpr size_t kFirstFileLength = 0x39 - kTypeGuid;
constexpr size_t kSecondFileLength = 0x3D - kTypeGuid;
}  // namespace entry_at

static_assert(header_at::kModel + 32 == 0x04D);
static_assert(header_at::kHeaderCrc + 4 == kHeaderSize, "the header is 512 bytes as stored");
static_assert(entry_at::kTypeGuid + 64 + 8 == kEntrySize, "a record is 128 bytes as stored");
static_assert(kHeaderSize + 28 * kEntrySize == kTableBlockSize);
static_assert(1 + kMaxTaggedPartitions == (kTableBlockSize - kHeaderSize) / kEntrySize);

constexpr size_t kTableOffset = kHeaderSize;  // sector 1

std::span<const uint8_t> AsBytes(std::span<const char> text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

}  // namespace

std::string PartitionEntry::Name() const {
  return std::string(name.data(), strnlen(name.data(), name.size()));
}

void PartitionEntry::SetName(const std::string& text) {
  name.fill('\0');
  const size_t length = std::min(text.size(), name.size() - 1);
  std::memcpy(name.data(), text.data(), length);
  // A NUL inside `text` would end the stored name there; the bytes after it
  // are cleared so that the record holds nothing beyond its terminator.
  const size_t end = strnlen(name.data(), name.size());
  std::fill(name.begin() + static_cast<std::ptrdiff_t>(end), name.end(), '\0');
}

void SetBootFields(PartitionEntry& entry, const BootFields& fields) {
  ByteWriter writer(entry.typeGuid);
  writer.U8(entry_at::kBootLayout, fields.bootLayout);
  writer.U32(entry_at::kFirstFileLength, fields.firstFileLength);
  writer.U32(entry_at::kSecondFileLength, fields.secondFileLength);
}

BootFields GetBootFields(const PartitionEntry& entry) {
  ByteReader reader(entry.typeGuid);
  BootFields fields;
  fields.bootLayout = reader.U8(entry_at::kBootLayout);
  fields.firstFileLength = reader.U32(entry_at::kFirstFileLength);
  fields.secondFileLength = reader.U32(entry_at::kSecondFileLength);
  return fields;
}

HeaderBytes EncodeHeader(const FirmwareHeader& header) {
  HeaderBytes bytes{};
  ByteWriter writer(bytes);
  writer.Bytes(header_at::kTag, header.tag);
  writer.U16(header_at::kYear, header.year);
  writer.U8(header_at::kMonth, header.month);
  writer.U8(header_at::kDay, header.day);
  writer.U8(header_at::kHour, header.hour);
  writer.U8(header_at::kMinute, header.minute);
  writer.U8(header_at::kSecond, header.second);
  writer.U32(header_at::kVersion, header.version);
  writer.U32(header_at::kHeaderLength, header.headerLength);
  writer.U32(header_at::kTableSector, header.tableSector);
  writer.U32(header_at::kImageSectors, header.imageSectors);
  writer.U32(header_at::kEntrySize, header.entrySize);
  writer.U32(header_at::kEntryCount, header.entryCount);
  writer.U32(header_at::kImageLength, header.imageLength);
  writer.U8(header_at::kBackupDisabled, header.backupDisabled);
  writer.Bytes(header_at::kChip, header.chip);
  writer.Bytes(header_at::kModel, header.model);
  writer.U32(header_at::kTableCrc, header.tableCrc);
  writer.U32(header_at::kHeaderCrc, header.headerCrc);
  return bytes;
}

FirmwareHeader DecodeHeader(std::span<const uint8_t, kHeaderSize> bytes) {
  ByteReader reader(bytes);
  FirmwareHeader header;
  reader.Bytes(header_at::kTag, header.tag);
  header.year = reader.U16(header_at::kYear);
  header.month = reader.U8(header_at::kMonth);
  header.day = reader.U8(header_at::kDay);
  header.hour = reader.U8(header_at::kHour);
  header.minute = reader.U8(header_at::kMinute);
  header.second = reader.U8(header_at::kSecond);
  header.version = reader.U32(header_at::kVersion);
  header.headerLength = reader.U32(header_at::kHeaderLength);
  header.tableSector = reader.U32(header_at::kTableSector);
  header.imageSectors = reader.U32(header_at::kImageSectors);
  header.entrySize = reader.U32(header_at::kEntrySize);
  header.entryCount = reader.U32(header_at::kEntryCount);
  header.imageLength = reader.U32(header_at::kImageLength);
  header.backupDisabled = reader.U8(header_at::kBackupDisabled);
  reader.Bytes(header_at::kChip, header.chip);
  reader.Bytes(header_at::kModel, header.model);
  header.tableCrc = reader.U32(header_at::kTableCrc);
  header.headerCrc = reader.U32(header_at::kHeaderCrc);
  return header;
}

EntryBytes EncodeEntry(const PartitionEntry& entry) {
  EntryBytes bytes{};
  ByteWriter writer(bytes);
  writer.Bytes(entry_at::kName, AsBytes(entry.name));
  writer.U32(entry_at::kType, entry.type);
  writer.U32(entry_at::kOffset, entry.offset);
  writer.U32(entry_at::kSize, entry.size);
  writer.U64(entry_at::kDataLength, entry.dataLength);
  writer.U32(entry_at::kFlag, entry.flag);
  writer.Bytes(entry_at::kTypeGuid, entry.typeGuid);
  return bytes;
}

PartitionEntry DecodeEntry(std::span<const uint8_t, kEntrySize> bytes) {
  ByteReader reader(bytes);
  PartitionEntry entry;
  reader.Bytes(entry_at::kName, std::span<uint8_t>(reinterpret_cast<uint8_t*>(entry.name.data()),
                                                   entry.name.size()));
  entry.type = reader.U32(entry_at::kType);
  entry.offset = reader.U32(entry_at::kOffset);
  entry.size = reader.U32(entry_at::kSize);
  entry.dataLength = reader.U64(entry_at::kDataLength);
  entry.flag = reader.U32(entry_at::kFlag);
  reader.Bytes(entry_at::kTypeGuid, entry.typeGuid);
  return entry;
}

bool IsPlainFileName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  return std::none_of(name.begin(), name.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte == '/' || byte == '\\' || byte < 0x20 || byte == 0x7F;
  });
}

bool HoldsPayload(const PartitionEntry& entry) {
  return entry.dataLength != 0 && (entry.flag & PART_FLAG_SKIP) == 0;
}

bool ExtractsToNamedFile(const PartitionEntry& entry) {
  if (entry.type == PART_TYPE_IDBLOCK) return false;
  return entry.type != PART_TYPE_VENDOR || HoldsPayload(entry);
}

bool HasPlainRecordName(const PartitionEntry& entry) {
  const size_t length = strnlen(entry.name.data(), entry.name.size());
  if (length == entry.name.size()) return false;
  return IsPlainFileName(std::string_view(entry.name.data(), length));
}

PayloadPlace PlacePayload(uint64_t position, uint64_t length, uint64_t fileLength) {
  if (length == 0) return PayloadPlace::kInside;
  if (length > kMaxImageLength) return PayloadPlace::kTooLong;
  if (position > kPositionLimit - length) return PayloadPlace::kBeyondLimit;
  if (position + length > fileLength) return PayloadPlace::kPastEnd;
  return PayloadPlace::kInside;
}

PartitionEntry MakeVendorEntry() {
  PartitionEntry entry;
  entry.SetName("vendor");
  entry.type = PART_TYPE_VENDOR;
  entry.offset = 8;
  entry.size = (kVendorAreaEnd - 8 * kSectorSize) / kSectorSize;
  entry.dataLength = kVendorAreaEnd - 8 * kSectorSize;
  entry.flag = PART_FLAG_SKIP;
  return entry;
}

TableBlock AssembleTableBlock(FirmwareHeader& header, std::span<const PartitionEntry> partitions) {
  TableBlock block{};
  // Callers refuse more than kMaxTaggedPartitions partitions. Should more
  // arrive anyway, only those that fit before the vendor area are stored and
  // counted, so the block never claims a record it does not hold.
  const size_t stored = std::min(partitions.size(), kMaxTaggedPartitions);
  ByteWriter writer(block);
  writer.Bytes(kTableOffset, EncodeEntry(MakeVendorEntry()));
  for (size_t i = 0; i < stored; ++i) {
    writer.Bytes(kTableOffset + (i + 1) * kEntrySize, EncodeEntry(partitions[i]));
  }
  header.entryCount = static_cast<uint32_t>(stored + 1);
  header.tableCrc = Crc32Msb(
      std::span<const uint8_t>(block).subspan(kTableOffset, header.entryCount * kEntrySize));
  header.headerCrc =
      Crc32Msb(std::span<const uint8_t>(EncodeHeader(header)).first(header_at::kHeaderCrc));
  writer.Bytes(0, EncodeHeader(header));
  return block;
}

TableBlock MakeBackupBlock(const TableBlock& block) {
  TableBlock backup{};
  std::memcpy(backup.data(), block.data() + kTableOffset, kTableBlockSize - kTableOffset);
  std::memcpy(backup.data() + (kTableBlockSize - kHeaderSize), block.data(), kHeaderSize);
  return backup;
}

std::string VersionText(uint32_t version) {
  return std::to_string(version >> 24) + "." + std::to_string((version >> 16) & 0xFFu) + "." +
         std::to_string(version & 0xFFFFu);
}

}  // namespace imgweld
