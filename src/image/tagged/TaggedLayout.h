#pragma once

#include <optional>
#include <span>
#include <vector>

#include "image/FirmwareImage.h"
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

}  // namespace imgweld
