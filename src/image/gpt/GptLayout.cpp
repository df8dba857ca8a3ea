#include "image/gpt/GptLayout.h"

namespace imgweld {

std::vector<LayoutProblem> FindGptLayoutProblems(std::span<const std::optional<SectorExtent>> spans,
                                                 uint64_t diskEnd) {
  std::vector<LayoutProblem> problems;
  const bool backupKnown = diskEnd != kOpenDiskEnd && diskEnd >= kGptBackupSectors;
  const SectorExtent backup{diskEnd - kGptBackupSectors, diskEnd - 1};
  for (size_t i = 0; i < spans.size(); ++i) {
    if (!spans[i]) continue;
    const SectorExtent& span = *spans[i];
    if (span.first < kGptReservedSectors) {
      problems.push_back(
          {LayoutRule::kReservedArea, i, span, 0, SectorExtent{0, kGptReservedSectors - 1}});
    }
    if (span.last >= kGptLastSectorLimit) {
      problems.push_back(
          {LayoutRule::kPastLimit, i, span, 0, SectorExtent{kGptLastSectorLimit, span.last}});
    }
    if (backupKnown && span.last >= backup.first) {
      problems.push_back({LayoutRule::kBackupArea, i, span, 0, backup});
    }
    AppendOverlaps(spans, i, problems);
  }
  return problems;
}

}  // namespace imgweld
