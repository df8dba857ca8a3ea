#include "image/tagged/TaggedLayout.h"

#include "image/GptRecords.h"

namespace imgweld {

std::vector<LayoutProblem> FindTaggedLayoutProblems(
    std::span<const std::optional<SectorExtent>> spans) {
  return FindLayoutProblems(kTaggedLimits, spans, kOpenDiskEnd);
}

}  // namespace imgweld
