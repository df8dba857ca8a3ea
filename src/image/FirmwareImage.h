#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "image/Sector.h"

namespace imgweld {

inline constexpr size_t kHeaderSize = 512;       // FirmwareHeader as stored
inline constexpr size_t kEntrySize = 128;        // PartitionEntry as stored
inline constexpr size_t kTableBlockSize = 4096;  // header plus partition table area
inline constexpr size_t kBackupBlockSize = 4096;
inline constexpr uint32_t kVendorAreaEnd = 0x8000;  // sectors 8 to 63 belong to the vendor
// The table area (sectors 1 to 7) has room for 28 records; the vendor record
// takes the first.
inline constexpr size_t kMaxTaggedPartitions = 27;
inline constexpr uint32_t kTableAreaRecords = kMaxTaggedPartitions + 1;
// Whether `length` bytes at byte `position` lie in an image of `fileLength`
// bytes. A payload of no bytes takes no byte, so it lies anywhere; -U, -V and
// -X judge every payload by this one rule.
enum class PayloadPlace {
  kInside,
  kTooLong,      // 4 GiB or longer: no 32-bit length holds it
  kBeyondLimit,  // it ends past the last position an image has
  kPastEnd,      // it ends past the end of the file
};
PayloadPlace PlacePayload(uint64_t position, uint64_t length, uint64_t fileLength);

inline constexpr uint32_t PART_TYPE_VENDOR = 1;
inline constexpr uint32_t PART_TYPE_IDBLOCK = 2;
inline constexpr uint32_t PART_FLAG_SKIP = 0x1;
inline constexpr uint32_t PART_FLAG_FILL = 0x2;
inline constexpr uint32_t PART_FLAG_GROW = 0x4;

inline constexpr std::array<uint8_t, 4> kFirmwareTag = {'Z', 'V', 'F', 'P'};

using HeaderBytes = std::array<uint8_t, kHeaderSize>;
using EntryBytes = std::array<uint8_t, kEntrySize>;
using TableBlock = std::array<uint8_t, kTableBlockSize>;

// The 512-byte header at the start of a tagged image.
struct FirmwareHeader {
  std::array<uint8_t, 4> tag{};     // 0x000 "ZVFP"
  uint16_t year = 0;                // 0x004 four-digit year
  uint8_t month = 0;                // 0x006 1..12
  uint8_t day = 0;                  // 0x007
  uint8_t hour = 0;                 // 0x008
  uint8_t minute = 0;               // 0x009
  uint8_t second = 0;               // 0x00A; 0x00B is zero
  uint32_t version = 0;             // 0x00C major<<24 | minor<<16 | build
  uint32_t headerLength = 0;        // 0x010
  uint32_t tableSector = 0;         // 0x014
  uint32_t imageSectors = 0;        // 0x018
  uint32_t entrySize = 0;           // 0x01C
  uint32_t entryCount = 0;          // 0x020
  uint32_t imageLength = 0;         // 0x024
  uint8_t backupDisabled = 0;       // 0x028
  std::array<uint8_t, 4> chip{};    // 0x029
  std::array<uint8_t, 32> model{};  // 0x02D; 0x04D..0x1F7 are zero
  uint32_t tableCrc = 0;            // 0x1F8
  uint32_t headerCrc = 0;           // 0x1FC
};

// One 128-byte partition record, plus the source file that fills it, which
// lives only in memory.
struct PartitionEntry {
  std::array<char, 32> name{};  // 0x00 NUL-terminated
  uint32_t type = 0;            // 0x20
  uint32_t offset = 0;          // 0x24 first sector
  uint32_t size = 0;            // 0x28 sectors; 0xFFFFFFFF for a growing last partition
  uint64_t dataLength = 0;      // 0x2C unaligned
  uint32_t flag = 0;            // 0x34
  std::array<uint8_t, 64>
      typeGuid{};  // 0x38 type-GUID key text, or the boot fields; 0x78..0x7F zero

  std::string sourceFile;  // not stored in the image

  std::string Name() const;               // up to the NUL (all 32 bytes when there is none)
  void SetName(const std::string& text);  // keeps at most 31 characters
};

// The boot fields overlay the first nine bytes of `typeGuid` in the record
// of the boot block partition.
struct BootFields {
  uint8_t bootLayout = 0;         // 0x38: 1 Nano layout, 0 standard
  uint32_t firstFileLength = 0;   // 0x39 unaligned: DDR program
  uint32_t secondFileLength = 0;  // 0x3D unaligned: loader program
};
void SetBootFields(PartitionEntry& entry, const BootFields& fields);
BootFields GetBootFields(const PartitionEntry& entry);

HeaderBytes EncodeHeader(const FirmwareHeader& header);
FirmwareHeader DecodeHeader(std::span<const uint8_t, kHeaderSize> bytes);
EntryBytes EncodeEntry(const PartitionEntry& entry);
PartitionEntry DecodeEntry(std::span<const uint8_t, kEntrySize> bytes);

// Whether a partition name can become a file name inside an output
// directory and a value in "setting.ini": no directory part, no line break
// or other control character, not "." or "..". -P warns of, -V fails and
// -U and -X refuse a partition whose file would take such a name.
bool IsPlainFileName(std::string_view name);

// Whether the image stores payload bytes for the record: a length, and
// not skipped.
bool HoldsPayload(const PartitionEntry& entry);

// Whether -U writes a file for the record's data: every record but the
// vendor area and boot blocks, a vendor-type one only when it holds data.
bool ExtractsToNamedFile(const PartitionEntry& entry);

// The record's name as a file name: plain, and ended within its field.
bool HasPlainRecordName(const PartitionEntry& entry);

// The version word as text, "major.minor.build": major in bits 31 to 24,
// minor in bits 23 to 16, build in bits 15 to 0.
std::string VersionText(uint32_t version);

// The vendor area's sectors, 8 to 63.
inline constexpr uint32_t kVendorFirstSector = 8;
inline constexpr uint32_t kVendorLastSector = kVendorAreaEnd / kSectorSize - 1;

// The first record of every table: "vendor", type 1, sectors 8 to 63.
PartitionEntry MakeVendorEntry();

// Lays out header and table in one 4096-byte block: the vendor record at
// 0x200, the partitions after it, zero to the end. Sets `entryCount`, then
// `tableCrc` and `headerCrc` in `header`, and places the header at 0.
// `partitions` must hold at most kMaxTaggedPartitions records.
TableBlock AssembleTableBlock(FirmwareHeader& header, std::span<const PartitionEntry> partitions);
// The backup block: the table area (block bytes 0x200..0xFFF) then the header.
TableBlock MakeBackupBlock(const TableBlock& block);

}  // namespace imgweld
