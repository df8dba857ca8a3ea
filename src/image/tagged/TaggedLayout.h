#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "image/FirmwareImage.h"
#include "image/ImageReader.h"
#include "image/LayoutRules.h"
#include "image/Sector.h"

namespace imgweld {

// Header, partition table and vendor area: sectors 0 to 63.
inline constexpr uint64_t kTaggedReservedSectors = kVendorAreaEnd / kSectorSize;
// The copy of header and table that ends an image with a backup.
inline constexpr uint64_t kTaggedBackupSectors = kBackupBlockSize / kSectorSize;
// No sector of a partition lies at or past this one: its bytes would sit
// beyond the last 32-bit position.
inline constexpr uint64_t kTaggedSectorLimit = kMaxImageLength / kSectorSize;

// The size a growing last partition's record stores: where it ends is not
// known when the table is written.
inline constexpr uint32_t kTaggedUnknownSize = 0xFFFFFFFF;

// Whether record `e`, the last of its table when `last`, is a growing last
// partition whose size the table does not keep.
inline bool TaggedSizeUnknown(const PartitionEntry& e, bool last) {
  return last && (e.flag & PART_FLAG_GROW) != 0 && e.size == kTaggedUnknownSize;
}

// The length the header records for an image of `imageSectors` sectors:
// the backup block follows them when there is one.
inline constexpr uint64_t TaggedImageLength(uint64_t imageSectors, bool backup) {
  return imageSectors * kSectorSize + (backup ? kBackupBlockSize : 0);
}

inline constexpr FormLimits kTaggedLimits{
    .reservedSectors = kTaggedReservedSectors,
    .maxImageLength = kMaxImageLength,
    .sectorLimit = kTaggedSectorLimit,
    .maxPartitions = kMaxTaggedPartitions,
    .backupSectors = kTaggedBackupSectors,
    .backupPlace = BackupPlace::kAfterLastPartition,
};

// The problems of a tagged image's layout, given the sectors each partition
// takes (nothing for one that writes nothing). For each partition in list
// order: kReservedArea, then kPastLimit, then kOverlap with every earlier
// partition it meets, in list order. The backup block follows the last
// partition wherever that ends, so no partition can lie on it.
std::vector<LayoutProblem> FindTaggedLayoutProblems(
    std::span<const std::optional<SectorExtent>> spans);

// --- The layout a tagged image expresses ---------------------------------

// The header's date and time fields, as the Date key writes them.
struct TaggedDate {
  unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// How the boot block is laid out and stored, as its record and its header
// sector say.
struct TaggedBootSettings {
  bool nano = false;
  bool gap = false;                // programs spread with gaps
  bool programsScrambled = false;  // the programs are stored scrambled
  bool headerScrambled = false;    // the control sectors are scrambled
  uint32_t ddrLength = 0;
  uint32_t loaderLength = 0;
};

// What the packer makes of a partition record.
enum class TaggedPartitionKind {
  kPartition,
  kBootBlock,       // the first boot block record: the block is built into it
  kLaterBootBlock,  // a later one: its programs are only measured, nothing is written
};

struct TaggedPartition {
  uint32_t record = 0;  // position in the table
  TaggedPartitionKind kind = TaggedPartitionKind::kPartition;
  std::string name;
  uint32_t type = 0;
  uint32_t flag = 0;
  uint32_t offset = 0;
  // As recorded, but a growing last partition's lost size resolved where it
  // matters: a fill's to the sectors it fills, a later boot block's to 0.
  uint32_t size = 0;
  uint64_t dataLength = 0;
  // The Type_Guid text. The boot block's first nine characters are lost to
  // its boot fields and stand as "?????????": any nine give the same record.
  std::string typeGuid;
};

struct TaggedLayout {
  uint32_t version = 0;
  std::string chip;
  std::string model;
  TaggedDate date;
  // The date as seconds since 1970, when it is a moment since then that is
  // no leap second.
  std::optional<long long> seconds;
  bool backup = false;
  uint8_t fillByte = 0;
  TaggedBootSettings boot;
  std::vector<TaggedPartition> partitions;  // table order, the vendor record left out
};

// Reads the layout of a tagged image from what the reader found: every value
// the configuration carries, decoded from the header and the records. False,
// with the reason in `why` ("the chip holds ..."), when the image is damaged
// or holds what no configuration makes the packer write again: a table of a
// shape the packer does not make, text that is no text or that a
// configuration cannot carry, a skipped partition that records data, a
// boot block whose control sectors do not read. The bytes of the image
// itself are not compared: that the packer writes them so is for the caller
// to check.
bool ReadTaggedLayout(const TaggedImageFacts& facts, TaggedLayout& layout, std::string& why);

// The sectors the packer writes for partition `p` of a layout (`last`: it
// ends the table), the one rule both the packer's check and
// ValidateTaggedLayout take: the boot block's area from sector 64 on, a
// growing payload's up to the end of its data (the last one's only that
// far), a fill's whole area; nothing for a skipped partition, a later boot
// block or a size of 0.
std::optional<SectorExtent> TaggedWrittenSectors(const TaggedPartition& p, bool last);

// The problems of the layout's partitions, as the packer finds them before
// it writes: the sectors each one writes (TaggedWrittenSectors), laid
// against the form's limits.
std::vector<LayoutProblem> ValidateTaggedLayout(const TaggedLayout& layout);

// The configuration text that packs the layout again: the System values,
// then a "UserPart<n>" section per partition in table order, each naming
// the file given for its record in `files` ("<ddr>,<loader>" for a boot
// block). `comments` head the text as "# " lines.
std::string TaggedLayoutConfig(const TaggedLayout& layout,
                               const std::map<uint32_t, std::string>& files,
                               std::span<const std::string> comments = {});

}  // namespace imgweld
