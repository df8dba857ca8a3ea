#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "image/Sector.h"

namespace imgweld {

// The partition-table form of the image: a protective MBR in sector 0, the
// GPT header in sector 1, the 128-entry partition array in sectors 2 to 33.
inline constexpr uint64_t kGptHeaderLba = 1;
inline constexpr uint64_t kGptArrayLba = 2;
inline constexpr uint32_t kGptEntryCount = 128;
inline constexpr uint32_t kGptEntrySize = 128;
inline constexpr size_t kGptArraySize = size_t{kGptEntryCount} * kGptEntrySize;
inline constexpr uint64_t kGptArraySectors = kGptArraySize / kSectorSize;
inline constexpr uint64_t kGptFirstUsableLba = kGptArrayLba + kGptArraySectors;
inline constexpr uint32_t kGptHeaderSize = 92;  // the bytes the header checksum covers
inline constexpr uint32_t kGptRevision = 0x00010000;

// Layout marker at header byte 108.
inline constexpr uint16_t kGptCompactMarker = 0xEEEE;
inline constexpr uint16_t kGptPaddedMarker = 0xFFFF;

// The payload lengths start at header byte 114, 8 bytes each; the header
// sector has room for 49 of them before its last 6 bytes.
inline constexpr size_t kGptLengthsOffset = 114;
inline constexpr size_t kMaxGptPartitions = 49;
static_assert(kGptLengthsOffset + 8 * kMaxGptPartitions <= 506);
static_assert(kGptArraySize == 16384 && kGptFirstUsableLba == 34);

// A disk that is as large as it needs to be: the compact layout and a
// growing last partition leave the GPT's disk size open.
inline constexpr uint64_t kOpenDiskEnd = ~uint64_t{0};

// A GUID in its 16-byte on-disk form: the first three groups little-endian,
// the last two in text order.
using Guid = std::array<uint8_t, 16>;
using SectorBytes = std::array<uint8_t, kSectorSize>;
using GptEntryBytes = std::array<uint8_t, kGptEntrySize>;

// Sector 0: one partition record of type 0xEE covering the whole disk, so
// that tools that only know MBRs leave the disk alone.
struct ProtectiveMbr {
  // 0..445 boot code and disk signature: zero
  uint8_t status = 0x00;                         // 446; 447..449 first CHS address zero
  uint8_t partitionType = 0xEE;                  // 450; 451..453 last CHS address zero
  uint32_t firstLba = 1;                         // 454
  uint32_t sectorCount = 0xFFFFFFFF;             // 458; 462..509 the other three records zero
  std::array<uint8_t, 2> signature{0x55, 0xAA};  // 510
};
static_assert(510 + std::tuple_size_v<decltype(ProtectiveMbr::signature)> == kSectorSize);
SectorBytes EncodeProtectiveMbr(const ProtectiveMbr& mbr);
// Whether `sector` (the first of a file) is a protective MBR: the boot
// signature and a first record of type 0xEE.
bool IsProtectiveMbr(std::span<const uint8_t> sector);

// Sector 1. Bytes 108 onwards lie outside the checksummed 92 bytes and carry
// this format's own fields.
struct GptHeader {
  // 0: "EFI PART"
  uint32_t revision = kGptRevision;      // 8
  uint32_t headerSize = kGptHeaderSize;  // 12
  uint32_t headerCrc = 0;               // 16 Crc32 of bytes 0..91 with this field zero; 20..23 zero
  uint64_t currentLba = kGptHeaderLba;  // 24
  uint64_t backupLba = 0;               // 32 diskEnd - 1
  uint64_t firstUsableLba = kGptFirstUsableLba;  // 40
  uint64_t lastUsableLba = 0;                    // 48 diskEnd - 34
  Guid diskGuid{};                               // 56
  uint64_t arrayLba = kGptArrayLba;              // 72
  uint32_t entryCount = kGptEntryCount;          // 80
  uint32_t entrySize = kGptEntrySize;            // 84
  uint32_t arrayCrc = 0;                         // 88 Crc32 of the whole array; 92..107 zero
  uint16_t layoutMarker = 0;                     // 108 kGptCompactMarker or kGptPaddedMarker
  uint16_t backupEnabled = 0;                    // 110
  uint16_t partitionCount = 0;                   // 112, at most kMaxGptPartitions
  std::array<uint64_t, kMaxGptPartitions> dataLengths{};  // 114 + 8i, for i < partitionCount
};
static_assert(kGptLengthsOffset + 8 * std::tuple_size_v<decltype(GptHeader::dataLengths)> <=
              kSectorSize);
static_assert(kGptHeaderSize == 92 && kGptHeaderSize <= kGptLengthsOffset);
SectorBytes EncodeGptHeader(const GptHeader& header);

// One 128-byte entry of the partition array.
struct GptEntry {
  Guid typeGuid{};                  // 0
  Guid uniqueGuid{};                // 16
  uint64_t firstLba = 0;            // 32
  uint64_t lastLba = 0;             // 40 inclusive
  uint64_t attributes = 0;          // 48
  std::array<uint16_t, 36> name{};  // 56 UTF-16LE, zero after the name
};
static_assert(56 + 2 * std::tuple_size_v<decltype(GptEntry::name)> == kGptEntrySize);
GptEntryBytes EncodeGptEntry(const GptEntry& entry);

// The primary header sector and the partition array as they are written.
struct GptTables {
  SectorBytes header{};
  std::vector<uint8_t> array;  // kGptArraySize bytes
};

// Encodes `entries` (at most kGptEntryCount) into the array, zero after the
// last one, and `header` with the array's checksum and its own.
GptTables EncodeGptTables(GptHeader header, std::span<const GptEntry> entries);

// The name field of an entry: one unit per byte of `name`, each byte taken
// as a signed 8-bit value and widened, so 0x80..0xFF become 0xFF80..0xFFFF.
// Bytes past the 36th are dropped.
std::array<uint16_t, 36> WidenName(std::string_view name);

// Sixteen calls of the C library's `rand`, one byte of each, then the
// version-4 and variant bits. The generator is never seeded, so a given
// configuration yields the same GUIDs on every run.
void RandomGuid(Guid& guid);

// Reads the text form XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX (hexadecimal
// digits in either case) into the on-disk form. False, with `guid` zeroed,
// for any other text: a wrong length, a misplaced separator, a blank, a
// non-hexadecimal character.
bool ParseGuidText(std::string_view text, Guid& guid);

// The "EFI PART" signature at the start of a GPT header.
bool HasGptSignature(std::span<const uint8_t, kSectorSize> sector);

// Readers of the same records. They take the fields as stored, whatever they
// hold; the header's lengths are read for the first min(partitionCount, 49).
ProtectiveMbr DecodeProtectiveMbr(std::span<const uint8_t, kSectorSize> sector);
GptHeader DecodeGptHeader(std::span<const uint8_t, kSectorSize> sector);
GptEntry DecodeGptEntry(std::span<const uint8_t, kGptEntrySize> bytes);

// The text form of a GUID, upper-case: XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX.
std::string GuidText(const Guid& guid);

// The name of an entry back as the bytes it was widened from: each unit up
// to the first zero unit, 0x0000..0x007F and 0xFF80..0xFFFF giving one byte.
// Nothing when a unit is of neither kind (a name not written by WidenName).
std::optional<std::string> NarrowName(const std::array<uint16_t, 36>& units);

// The backup header: the primary with its own and the other header's LBA
// exchanged, the array LBA set to the primary's last usable LBA + 1 and
// the checksum recomputed. The private fields from byte 108 stay as they are.
void MakeBackupGptHeader(std::span<const uint8_t, kSectorSize> primary,
                         std::span<uint8_t, kSectorSize> backup);

// Stores at byte 16 the Crc32 of the first `headerSize` bytes (byte 12),
// computed with that field zero.
void SealGptHeader(std::span<uint8_t, kSectorSize> header);

}  // namespace imgweld
