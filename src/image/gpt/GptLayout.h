#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "image/BootBlock.h"
#include "image/GptRecords.h"
#include "image/ImageReader.h"
#include "image/ImageSource.h"
#include "image/LayoutRules.h"
#include "image/Sector.h"

namespace imgweld {

// Protective MBR, GPT header and partition array: sectors 0 to 33.
inline constexpr uint64_t kGptReservedSectors = kGptFirstUsableLba;
// The backup array and, in the disk's last sector, the backup header.
inline constexpr uint64_t kGptBackupSectors = kGptArraySectors + 1;
// A partition's last sector lies below this one, so that the disk it ends,
// with the backup GPT after it, stays below the last 32-bit position.
inline constexpr uint64_t kGptLastSectorLimit = kMaxImageLength / kSectorSize - kGptBackupSectors;

inline constexpr FormLimits kGptLimits{
    .reservedSectors = kGptReservedSectors,
    .maxImageLength = kMaxImageLength,
    .sectorLimit = kGptLastSectorLimit,
    .maxPartitions = kMaxGptPartitions,
    .backupSectors = kGptBackupSectors,
    .backupPlace = BackupPlace::kEndOfDisk,
};

// Where the packer writes a boot block of a partition-table image, and its
// table entry says it lies: at its offset, never below sector 64.
inline uint32_t GptBootBlockOffset(uint32_t offset) { return std::max(offset, kBootMinOffset); }

// The problems of a partition-table image's layout where the entries place
// the data (not the compact layout), given the sectors each partition takes
// (nothing for one that takes none). `diskEnd` is the disk's size in
// sectors when it is known and a backup GPT ends it, else kOpenDiskEnd. For
// each partition in list order: kReservedArea, kPastLimit, kBackupArea, then
// kOverlap with every earlier partition it meets, in list order.
std::vector<LayoutProblem> FindGptLayoutProblems(std::span<const std::optional<SectorExtent>> spans,
                                                 uint64_t diskEnd = kOpenDiskEnd);

// What a partition of a partition-table image holds, as its configuration
// says it: the GPT keeps only a payload length, so a partition without one
// was either filled with the fill byte or skipped.
enum class GptContent { kPayload, kBootBlock, kFilled, kSkipped };

// The settings every boot block of an image is built under ([System] keys).
struct GptBootSettings {
  bool nano = false;
  bool gap = false;
  bool programsScrambled = false;  // Loader_Encrypt and Loader_Scrambled
  bool scrambleSectors = false;    // IDB_Boot_Encrypt
};

// One partition as a configuration packs it.
struct GptLayoutPartition {
  uint32_t entry = 0;  // its entry in the partition array, from 0
  std::string name;
  uint32_t type = 0;  // the ordinary type 0x8, or PART_TYPE_IDBLOCK
  uint32_t flag = 0;
  uint32_t offset = 0;         // sectors
  uint32_t size = 0;           // sectors; 0 for a growing one that holds a payload
  uint64_t payloadLength = 0;  // as the header records it
  Guid typeGuid{};
  Guid uniqueGuid{};
  uint64_t attributes = 0;
  GptContent content = GptContent::kSkipped;
  // False for a boot block whose programs could not be measured: its
  // length, and with it where the compact layout puts what follows it, is
  // not known.
  bool measured = true;
  // Where its data lies in the image: the payload, or the DDR and loader
  // programs of a boot block in that order; nothing when filled or skipped.
  std::vector<PayloadExtent> data;
  // Where each of `data` lies in the file, in the same order. A payload the
  // layout takes from the header's recorded length may lie outside it: the
  // last partition of the packer's padded image, placed past the usable
  // sectors, has no check that holds its length to the file.
  std::vector<PayloadPlace> places;
};

// What a partition-table image expresses: enough to pack it again.
struct GptLayout {
  bool compact = false;  // Gpt_Enable 1: payloads back to back after the array
  bool backup = false;   // Backup_Partition_Enable
  uint8_t fillByte = 0;
  // The settings of the boot blocks, when the image holds one.
  std::optional<GptBootSettings> boot;
  Guid diskGuid{};
  std::vector<GptLayoutPartition> partitions;
  // A disk of another tool: only the partitions' sectors, names and GUIDs
  // and the disk GUID are carried.
  bool foreign = false;
};

// Reads the layout of a partition-table image. Of an image the packer made
// (its layout mark in the GPT header) the GPT gives every partition's
// sectors, name and GUIDs and the length of its payload; what the table
// does not keep (which partitions were filled or skipped, the fill byte,
// the boot blocks' settings) is read from the partitions' bytes. Of a disk
// of another tool, see ReadForeignGptLayout. False, with `why` saying it as
// a clause ("it has no partition"), when the image is damaged or holds what
// no configuration can say.
bool ReadGptLayout(ImageSource& source, const GptImageFacts& facts, GptLayout& layout,
                   std::string& why);

// The layout of a disk partitioned by another tool (a GPT of 512-byte
// sectors without the packer's layout mark): a padded image with a backup
// GPT and the same partitions at the same sectors, with the same names,
// type GUIDs, unique GUIDs and disk GUID, each partition's sectors its
// payload. False, with `why`, for a layout the packer cannot express.
bool ReadForeignGptLayout(const GptImageFacts& facts, GptLayout& layout, std::string& why);

// The sectors the packer writes for partition `p` of a layout where the
// entries place the data (`last`: it ends the list), the one rule both the
// packer's check and ValidateGptLayout take: a boot block's area from
// sector 64 on, a growing payload's up to the end of its data (the last
// one's only that far), a payload's or fill's whole area; nothing for a
// skipped partition or a size of 0. Decided by `type` and `flag`, as the
// configuration gives them.
std::optional<SectorExtent> GptWrittenSectors(const GptLayoutPartition& p, bool last);

// The sector count the primary header gives the disk: open (kOpenDiskEnd)
// for the compact layout, an empty one, and one whose last partition grows;
// otherwise the end of the last partition of the list (list order, not
// sector order) plus the kGptBackupSectors of the backup array and header.
uint64_t GptDiskEnd(const GptLayout& layout);

// The first and last sector partition `p`'s table entry records (`last`:
// it ends the list) on a disk of `diskEnd` sectors (GptDiskEnd): its area,
// or for a growing last partition from its first sector to the last usable
// one, which an open disk end puts at kOpenDiskEnd - 34. An area of no
// sectors ends before it begins.
SectorExtent GptEntryLbas(const GptLayoutPartition& p, bool last, uint64_t diskEnd);

// Everything that refuses the layout before a byte of it is written, in
// this order:
// - kEmptyArea for every partition of size 0 but a growing last one: its
//   entry would end before it begins;
// - where the entries place the data, the placement problems
//   (FindGptLayoutProblems of the sectors each partition writes,
//   GptWrittenSectors); then, with a backup GPT at a known disk end
//   (GptDiskEnd), kBackupArea for every partition whose entry or data
//   reaches the backup's sectors, and kImageTooLong (for the last
//   partition) when that disk reaches past the last 32-bit position;
// - in the compact layout, whose entries place nothing, the first of
//   kFillBehind (a fill that ends before the data written ahead of it would
//   move the write position back over it) and kImageTooLong (the data
//   written so far passes kMaxImageLength), in list order; a boot block
//   that is not `measured` ends the walk.
// kPastLimit problems of the placement are listed too: a position past
// 4 GiB is the planner's to report, with the partition it meets.
std::vector<LayoutProblem> ValidateGptLayout(const GptLayout& layout);

// The setting.ini text that packs `layout`, given each partition's File
// value ("" for none, "<ddr>,<loader>" for a boot block), in partition
// order. The type GUIDs are keys type1, type2, ... of the
// PARTITION_TYPE_GUID section in the order they first appear.
std::string GptLayoutConfig(const GptLayout& layout, std::span<const std::string> files);

// Whether a partition's name read from a GPT can stand in a configuration
// and be printed: a configuration can carry it, and it holds no control
// character (a tab included) that would act on a terminal.
bool GptNameFitsConfig(const std::string& name);

}  // namespace imgweld
