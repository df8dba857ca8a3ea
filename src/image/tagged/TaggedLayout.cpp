#include "image/tagged/TaggedLayout.h"

namespace imgweld {

std::vector<LayoutProblem> FindTaggedLayoutProblems(
    std::span<const std::optional<SectorExtent>> spans) {
  std::vector<LayoutProblem> problems;
  for (size_t i = 0; i < spans.size(); ++i) {
    if (!spans[i]) continue;
    const SectorExtent& span = *spans[i];
    if (span.first < kTaggedReservedSectors) {
      problems.push_back(
          {LayoutRule::kReservedArea, i, span, 0, SectorExtent{0, kTaggedReservedSectors - 1}});
    }
    if (span.last >= kTaggedSectorLimit) {
      problems.push_back(
          {LayoutRule::kPastLimit, i, span, 0, SectorExtent{kTaggedSectorLimit, span.last}});
    }
    AppendOverlaps(spans, i, problems);
  }
  return problems;
}

}  // namespace imgweld
