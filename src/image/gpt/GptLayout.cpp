#include "image/gpt/GptLayout.h"

namespace imgweld {

std::vector<LayoutProblem> FindGptLayoutProblems(std::span<const std::optional<SectorExtent>> spans,
                                                 uint64_t diskEnd) {
  return FindLayoutProblems(kGptLimits, spans, diskEnd);
}

}  // namespace imgweld
