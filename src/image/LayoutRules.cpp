#include "image/LayoutRules.h"

#include "image/GptRecords.h"

namespace imgweld {
namespace {

void AppendOverlaps(std::span<const std::optional<SectorExtent>> spans, size_t index,
                    std::vector<LayoutProblem>& problems) {
  const SectorExtent& span = *spans[index];
  for (size_t j = 0; j < index; ++j) {
    if (!spans[j] || !SpansMeet(span, *spans[j])) continue;
    problems.push_back({LayoutRule::kOverlap, index, span, j, *spans[j]});
  }
}

}  // namespace

std::vector<LayoutProblem> FindLayoutProblems(const FormLimits& limits,
                                              std::span<const std::optional<SectorExtent>> spans,
                                              uint64_t diskEnd) {
  std::vector<LayoutProblem> problems;
  // Only a backup at the disk's end has a place before the image is
  // written; one after the last partition moves with it.
  const bool backupKnown = limits.backupPlace == BackupPlace::kEndOfDisk &&
                           diskEnd != kOpenDiskEnd && diskEnd >= limits.backupSectors;
  const SectorExtent backup{diskEnd - limits.backupSectors, diskEnd - 1};
  for (size_t i = 0; i < spans.size(); ++i) {
    if (!spans[i]) continue;
    const SectorExtent& span = *spans[i];
    if (span.first < limits.reservedSectors) {
      problems.push_back(
          {LayoutRule::kReservedArea, i, span, 0, SectorExtent{0, limits.reservedSectors - 1}});
    }
    if (span.last >= limits.sectorLimit) {
      problems.push_back(
          {LayoutRule::kPastLimit, i, span, 0, SectorExtent{limits.sectorLimit, span.last}});
    }
    if (backupKnown && span.last >= backup.first) {
      problems.push_back({LayoutRule::kBackupArea, i, span, 0, backup});
    }
    AppendOverlaps(spans, i, problems);
  }
  return problems;
}

std::string FoldedProblem::AndMore() const {
  return moreOverlaps == 0 ? std::string() : " (and " + std::to_string(moreOverlaps) + " more)";
}

std::vector<FoldedProblem> FoldOverlaps(std::span<const LayoutProblem> problems) {
  std::vector<FoldedProblem> folded;
  for (const LayoutProblem& problem : problems) {
    if (problem.rule == LayoutRule::kOverlap && !folded.empty() &&
        folded.back().problem.rule == LayoutRule::kOverlap &&
        folded.back().problem.partition == problem.partition) {
      ++folded.back().moreOverlaps;
      continue;
    }
    folded.push_back({problem, 0});
  }
  return folded;
}

}  // namespace imgweld
