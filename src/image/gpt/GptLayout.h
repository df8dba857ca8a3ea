#pragma once

#include <optional>
#include <span>
#include <vector>

#include "image/GptRecords.h"
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

// The problems of a partition-table image's layout where the entries place
// the data (not the compact layout), given the sectors each partition takes
// (nothing for one that takes none). `diskEnd` is the disk's size in
// sectors when it is known and a backup GPT ends it, else kOpenDiskEnd. For
// each partition in list order: kReservedArea, kPastLimit, kBackupArea, then
// kOverlap with every earlier partition it meets, in list order.
std::vector<LayoutProblem> FindGptLayoutProblems(std::span<const std::optional<SectorExtent>> spans,
                                                 uint64_t diskEnd = kOpenDiskEnd);

}  // namespace imgweld
