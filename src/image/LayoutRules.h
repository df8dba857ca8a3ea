#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace imgweld {

// Sectors first to last, both included, that a partition takes in an image.
// The last sector is kept rather than the end so that a table entry ending
// in the very last sector a 64-bit number names stays representable.
struct SectorExtent {
  uint64_t first = 0;
  uint64_t last = 0;
};

// What a partition's place can break in an image of either form.
enum class LayoutRule {
  kReservedArea,  // lies on the sectors the image's own structures take
  kPastLimit,     // reaches past what a 32-bit position can address
  kBackupArea,    // lies on the sectors of the backup at the end of the disk
  kOverlap,       // shares a sector with an earlier partition
  // Rules of a layout that the packer's plan finds, beside the sectors:
  kEmptyArea,     // a table entry of no sectors would end before it begins
  kFillBehind,    // a fill ends before the data written ahead of it (back to back)
  kImageTooLong,  // the image it makes would reach maxImageLength
};

// One broken rule. `partition` is the index of the partition at fault in
// the list checked, `span` its sectors. For kOverlap, `other` is the index
// of the earlier partition and `area` its sectors; for the other rules,
// `area` is the form's area the partition reaches into.
struct LayoutProblem {
  LayoutRule rule = LayoutRule::kOverlap;
  size_t partition = 0;
  SectorExtent span;
  size_t other = 0;
  SectorExtent area;
};

// Where a form keeps the backup of its tables.
enum class BackupPlace {
  kAfterLastPartition,  // right after the last partition's bytes, ending the image
  kEndOfDisk,           // the last sectors of the disk the tables describe
};

// The fixed limits of one image form.
struct FormLimits {
  uint64_t reservedSectors = 0;  // sectors 0 to reservedSectors - 1 hold the image's own structures
  uint64_t maxImageLength = 0;   // bytes; no position of the image lies at or past it
  // No partition's sector lies at or past this one: with what the form
  // writes after the last partition, it would reach past maxImageLength.
  uint64_t sectorLimit = 0;
  size_t maxPartitions = 0;
  uint64_t backupSectors = 0;  // when the image carries a backup
  BackupPlace backupPlace = BackupPlace::kAfterLastPartition;
};

// The first problem of `rule` in `problems`, which keep their order.
inline const LayoutProblem* FirstProblemOf(std::span<const LayoutProblem> problems,
                                           LayoutRule rule) {
  for (const LayoutProblem& problem : problems) {
    if (problem.rule == rule) return &problem;
  }
  return nullptr;
}

// Whether two spans share a sector.
inline bool SpansMeet(const SectorExtent& a, const SectorExtent& b) {
  return a.first <= b.last && b.first <= a.last;
}

// The problems of a layout of the form `limits` describes, given the
// sectors each partition takes (nothing for one that takes none). `diskEnd`
// is the disk's size in sectors when a backup at the disk's end ends it
// (kEndOfDisk), else kOpenDiskEnd. For each partition in list order:
// kReservedArea, kPastLimit, kBackupArea, then kOverlap with every earlier
// partition it meets, in list order, since both forms write every
// partition at its sectors and two that meet destroy each other.
std::vector<LayoutProblem> FindLayoutProblems(const FormLimits& limits,
                                              std::span<const std::optional<SectorExtent>> spans,
                                              uint64_t diskEnd);

// A problem as a listing names it: the overlaps of one partition folded
// into the first, with the count of the rest. A hostile table whose every
// entry meets every other would otherwise name each of its pairs, 8,128 of
// them for 128 entries.
struct FoldedProblem {
  LayoutProblem problem;
  size_t moreOverlaps = 0;  // further earlier partitions the same one meets

  // " (and <n> more)", or nothing when there are none.
  std::string AndMore() const;
};
std::vector<FoldedProblem> FoldOverlaps(std::span<const LayoutProblem> problems);

}  // namespace imgweld
