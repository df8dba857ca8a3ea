#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
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

// Appends a kOverlap problem for every partition before `index` whose span
// shares a sector with that of `index`, in the order of the list. Both
// forms write every partition at its sectors, so such two destroy each other.
inline void AppendOverlaps(std::span<const std::optional<SectorExtent>> spans, size_t index,
                           std::vector<LayoutProblem>& problems) {
  const SectorExtent& span = *spans[index];
  for (size_t j = 0; j < index; ++j) {
    if (!spans[j] || !SpansMeet(span, *spans[j])) continue;
    problems.push_back({LayoutRule::kOverlap, index, span, j, *spans[j]});
  }
}

}  // namespace imgweld
