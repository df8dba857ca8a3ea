#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "image/FirmwareImage.h"

namespace imgweld {

// The boot block: four control sectors (header, signature, check, spare)
// followed by the DDR-initialisation program and the loader. Each program
// takes a whole number of 2048-byte units. The Nano layout keeps two 8-sector
// copies of the DDR program and puts the loader at sector 20. The block is
// written twice into its partition, at the partition's first sector and at
// its middle sector; in gap mode every 2048 bytes of it are followed by 2048
// zero bytes.
// The boot block counts in the image's own sectors.
inline constexpr uint32_t kBootSectorSize = kSectorSize;
inline constexpr uint32_t kBootControlSectors = 4;  // the boot code starts at sector 4
inline constexpr uint32_t kBootMinOffset = 64;      // the block never starts below sector 64
inline constexpr uint32_t kBootGapUnit = 2048;
inline constexpr uint32_t kBootMagic = 0x0FF0AA55;
// Nano layout: each DDR copy has 8 sectors (4096 bytes); the copies start at
// sectors 4 and 12 and the loader at sector 20.
inline constexpr uint32_t kNanoDdrLimit = 4096;
inline constexpr uint32_t kNanoDdrCopySectors = 8;
inline constexpr uint32_t kNanoFirstDdrSector = 4;
inline constexpr uint32_t kNanoSecondDdrSector = 12;
inline constexpr uint32_t kNanoLoaderSector = 20;

// Fields of the header sector, standard layout.
namespace boot_header_at {
inline constexpr size_t kMagic = 0;          // u32 kBootMagic
inline constexpr size_t kPlainPrograms = 8;  // u32 1 plain, 0 scrambled (both layouts)
inline constexpr size_t kDdrStart = 12;      // u16 4: first sector of the DDR program
inline constexpr size_t kDdrStartCopy = 14;  // u16 4
inline constexpr size_t kDdrSectors = 506;   // u16
inline constexpr size_t kCodeSectors = 508;  // u16 DDR + loader sectors, 16 bits
// Nano layout.
inline constexpr size_t kNanoLoaderStart = 56;    // u32 20
inline constexpr size_t kNanoLoaderSectors = 60;  // u32
inline constexpr size_t kNanoDdr1Start = 64;      // u32 4
inline constexpr size_t kNanoDdr1Sectors = 68;    // u32 8
inline constexpr size_t kNanoDdr2Start = 72;      // u32 12
inline constexpr size_t kNanoDdr2Sectors = 76;    // u32 8
inline constexpr size_t kNanoDdrCrcs = 80;        // 8 x u16 CrcCcitt of the DDR area's sectors
}  // namespace boot_header_at

// Fields of the signature sector.
namespace boot_signature_at {
inline constexpr size_t kTwelve = 0;    // u16 12
inline constexpr size_t kStandard = 2;  // u16 0xFFFF standard, 0 Nano
inline constexpr size_t kNano = 4;      // u16 0 standard, 0xFFFF Nano
inline constexpr size_t kMark = 10;     // "ZV28" or "NANO"
}  // namespace boot_signature_at

// Fields of the check sector (the same in both layouts).
namespace boot_check_at {
inline constexpr size_t kVc = 491;            // 0x56 0x43 0x00
inline constexpr size_t kHeaderCrc = 494;     // u16 Crc16 of the header sector as built
inline constexpr size_t kSignatureCrc = 496;  // u16 Crc16 of the signature sector
inline constexpr size_t kCodeCrc = 498;       // u32 Crc32Msb of the boot code as stored
inline constexpr size_t kCrcMark = 506;       // "CRC\0"
inline constexpr size_t kSpareCrc = 510;      // u16 Crc16 of the spare sector
}  // namespace boot_check_at

// The marks a reader recognises the control sectors by.
inline constexpr std::array<uint8_t, 4> kStandardMark = {'Z', 'V', '2', '8'};  // signature sector
inline constexpr std::array<uint8_t, 4> kNanoMark = {'N', 'A', 'N', 'O'};      // signature sector
inline constexpr std::array<uint8_t, 3> kCheckVcMark = {0x56, 0x43, 0x00};     // check sector
inline constexpr std::array<uint8_t, 4> kCheckCrcMark = {'C', 'R', 'C', 0};    // check sector

// Whether a control sector, as built (plain), carries its marks: the
// header sector its magic, the check sector its two marks.
bool HasHeaderMarks(std::span<const uint8_t> sector);
bool HasCheckMarks(std::span<const uint8_t> sector);

// How the boot block's control sectors are stored.
enum class BootSectors {
  kPlain,
  kScrambled,   // enciphered with the boot-block key
  kUnreadable,  // neither plain nor deciphered with the key: the key does not fit
};

// Control sector `sector` of `block` (the block as built, without gaps) read
// into `plain`: as stored, or deciphered, whichever shows the sector's marks.
// A sector that shows them neither way, or lies past the block's end, is
// unreadable; `plain` then holds the stored bytes, or zeros.
BootSectors ReadControlSector(std::span<const uint8_t> block, size_t sector,
                              bool (*marked)(std::span<const uint8_t>),
                              std::array<uint8_t, kBootSectorSize>& plain);
// The signature sector's mark of the layout.
inline const std::array<uint8_t, 4>& LayoutMark(bool nano) {
  return nano ? kNanoMark : kStandardMark;
}

// The record's `bootLayout` byte: 1 for the Nano layout, anything else standard.
inline constexpr uint8_t kBootLayoutNano = 1;
inline bool IsNanoLayout(const BootFields& fields) { return fields.bootLayout == kBootLayoutNano; }

// Sectors taken by a program of `length` bytes: ((length + 2047) >> 9) & 0xFFFC,
// so multiples of 4 and 0 for an empty program.
uint32_t ProgramSectors(uint64_t length);

// Where everything of one boot block lies, computed from the two program
// lengths and the two layout switches.
struct BootBlockLayout {
  bool nano = false;
  bool gap = false;
  uint32_t ddrSectors = 0;
  uint32_t loaderSectors = 0;

  // The block's sectors before gap mode spreads it.
  uint32_t Sectors() const;
  uint32_t Bytes() const { return Sectors() * kSectorSize; }
  // The length written into the partition: twice Bytes() in gap mode.
  uint32_t WrittenBytes() const { return gap ? 2 * Bytes() : Bytes(); }
  uint32_t DdrSector() const { return kBootControlSectors; }
  uint32_t LoaderSector() const;
  // Sectors from sector 4 that the check sector's code checksum covers.
  uint32_t CodeSectors() const;
  // Byte position, within the block as written, of block sector `sector`.
  // Programs start on a 2048-byte unit, so in gap mode their positions double.
  uint64_t WrittenPosition(uint32_t sector) const;
};

// The longest program whose 2048-byte units, counted in sectors, still fit
// a 16-bit field: (length + 2047) >> 9 <= 0xFFFF.
inline constexpr uint64_t kBootProgramMaxLength = 0x10000 * uint64_t{kBootSectorSize} - 2048;

// Fills `layout` for programs of the given lengths; false when no block can
// hold them: a program past kBootProgramMaxLength, in the standard layout
// sector counts whose sum passes 16 bits, or a Nano DDR program longer than
// its kNanoDdrLimit-byte copy area.
bool PlanBootBlockLayout(bool nano, bool gap, uint64_t ddrLength, uint64_t loaderLength,
                         BootBlockLayout& layout);

// The layout a stored record describes: Nano when `bootLayout` is 1, and gap
// mode when the recorded length is twice the plain block's.
BootBlockLayout BootBlockLayoutOf(const PartitionEntry& entry);

// Where a reader finds the loader of a stored block: sector 20 in the Nano
// layout, else after the DDR program's whole 2048-byte units, counted in 64
// bits so that a hostile length cannot wrap.
uint64_t StoredLoaderSector(const BootFields& fields);

// Sector of the second copy inside a partition of `size` sectors at `offset`.
inline uint64_t SecondBootCopySector(uint64_t offset, uint32_t size) { return offset + size / 2; }

// Lay out the boot block in `block` (zero-filled, layout.Bytes() long).
// `ddr` and `loader` hold exactly the two files' bytes and are scrambled in
// place when `scramblePrograms` is set. 0 on success; a negative value names
// a sector filler that failed.
int32_t BuildIdBlock(std::span<uint8_t> ddr, std::span<uint8_t> loader, std::span<uint8_t> block,
                     uint32_t ddrSectors, uint32_t loaderSectors, uint32_t ddrLength,
                     uint32_t loaderLength, bool scramblePrograms, bool scrambleSectors);
int32_t BuildNanoIdBlock(std::span<uint8_t> ddr, std::span<uint8_t> loader,
                         std::span<uint8_t> block, uint32_t ddrSectors, uint32_t loaderSectors,
                         uint32_t ddrLength, uint32_t loaderLength, bool scramblePrograms,
                         bool scrambleSectors);

// Enciphers (or deciphers: the cipher is its own inverse) each whole
// 512-byte block of a program from its first byte; a final partial block
// stays as it is. This is how the programs are scrambled inside the block.
void ScrambleProgramBlocks(std::span<uint8_t> program);

// Every 2048 bytes of `block` followed by 2048 zero bytes.
std::vector<uint8_t> SpreadWithGaps(std::span<const uint8_t> block);
// The block spread over twice its room in gap mode, gathered again.
std::vector<uint8_t> GatherGaps(std::span<const uint8_t> written);

// Where payload bytes lie in an image: `length` bytes from `byteOffset`,
// or, for a boot program of a block in gap mode, 2048 bytes from every 4096.
// Positions are 64-bit so that a record pointing past 4 GiB is seen as such
// instead of wrapping around.
struct PayloadExtent {
  uint64_t byteOffset = 0;
  uint64_t length = 0;
  bool gapped = false;

  // The image position one past the last payload byte.
  uint64_t End() const;
  // Where the bytes from the first to the last payload byte, gaps included,
  // lie in an image of `fileLength` bytes (PlacePayload).
  PayloadPlace Place(uint64_t fileLength) const;
  // The longest run of payload bytes from payload byte `at` that lies
  // contiguously in the image, and its image position.
  uint64_t RunAt(uint64_t at, uint64_t& position) const;
};

// The files a kit or -U writes the two programs of a boot block to, and
// that its configuration names in File.
struct BootFileNames {
  const char* ddr;
  const char* loader;
};
inline BootFileNames BootProgramFileNames(bool nano) {
  if (nano) return {"nanoboot1.bin", "nanoboot2.bin"};
  return {"flashdata.bin", "flashboot.bin"};
}

// The two programs of the boot block that `entry` records, as a reader
// extracts them: the DDR program from sector 4 of the block, the loader
// from StoredLoaderSector(), both spread in gap mode.
PayloadExtent StoredDdrProgram(const PartitionEntry& entry);
// Where a record's stored data lies: the two programs of a boot block
// record, the payload of any other.
std::vector<PayloadExtent> StoredExtents(const PartitionEntry& entry);
PayloadExtent StoredLoader(const PartitionEntry& entry);

}  // namespace imgweld
