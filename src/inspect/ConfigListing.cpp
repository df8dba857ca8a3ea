#include "inspect/ConfigListing.h"

#include <algorithm>
#include <ctime>
#include <string_view>

#include "image/gpt/GptLayout.h"
#include "image/tagged/TaggedLayout.h"
#include "pack/ConfigWarnings.h"
#include "pack/GptWriter.h"
#include "pack/ImagePlan.h"
#include "pack/PackContext.h"
#include "pack/PackFirmware.h"
#include "pack/PackLayout.h"
#include "pack/PartitionList.h"
#include "pack/ResolvedConfig.h"

namespace imgweld {
namespace {

// Sector ranges from `start` up to the end of the last partition that no
// partition takes.
std::vector<SectorRange> FindGaps(const std::vector<std::optional<SectorRange>>& occupied,
                                  uint64_t start) {
  std::vector<SectorRange> ranges;
  for (const auto& range : occupied) {
    if (range) ranges.push_back(*range);
  }
  std::sort(ranges.begin(), ranges.end(),
            [](const SectorRange& a, const SectorRange& b) { return a.first < b.first; });
  std::vector<SectorRange> gaps;
  uint64_t covered = start;
  for (const SectorRange& range : ranges) {
    if (range.first > covered) gaps.push_back({covered, range.first});
    covered = std::max(covered, range.end);
  }
  return gaps;
}

std::optional<SectorRange> RangeOf(const std::optional<SectorExtent>& span) {
  if (!span) return std::nullopt;
  return SectorRange{span->first, span->last + 1};
}

// The sectors each partition takes, by the rule the form's layout value
// validates with, so that -L shows what -P checks: the tagged image builds
// its first boot block only, the partition-table image every one.
std::vector<std::optional<SectorRange>> TaggedOccupied(
    const std::vector<PartitionEntry>& partitions) {
  const std::vector<TaggedPartition> layout = TaggedPartitionsOf(partitions);
  std::vector<std::optional<SectorRange>> occupied;
  for (size_t i = 0; i < layout.size(); ++i) {
    occupied.push_back(RangeOf(TaggedWrittenSectors(layout[i], i + 1 == layout.size())));
  }
  return occupied;
}

std::vector<std::optional<SectorRange>> GptOccupied(const std::vector<PartitionEntry>& partitions) {
  const std::vector<GptLayoutPartition> layout = GptPartitionsOf(partitions);
  std::vector<std::optional<SectorRange>> occupied;
  for (size_t i = 0; i < layout.size(); ++i) {
    occupied.push_back(RangeOf(GptWrittenSectors(layout[i], i + 1 == layout.size())));
  }
  return occupied;
}

// `reported`: what -P printed beside its progress; `warned`: the warning
// lines it printed before it planned.
void Finish(ConfigListing& listing, bool planned, const ImagePlan& plan,
            const StringOutput& reported, const std::string& warned) {
  listing.warnings = reported.Diagnostics() + warned;
  if (!planned || plan.failure) {
    listing.refused = true;
    listing.reported = reported.Text();
    if (planned) listing.failure = plan.failure;
  } else {
    listing.warnings += reported.Text();  // a boot block record the tagged image does not build
    listing.imageLength = plan.length;
  }
  const ImageForm form = listing.options.form;
  listing.occupied = form == ImageForm::kTagged ? TaggedOccupied(listing.partitions)
                                                : GptOccupied(listing.partitions);
  if (form != ImageForm::kGptCompact) {
    listing.gaps = FindGaps(listing.occupied, form == ImageForm::kTagged ? kTaggedReservedSectors
                                                                         : kGptReservedSectors);
  }
}

}  // namespace

std::string ConfigListing::RefusalText() const {
  if (!refused) return {};
  return reported + (failure ? failure->line : std::string());
}

ConfigListing DescribeConfiguration(const ConfigDocument& document, const std::string& configPath,
                                    const std::string& imageName, const char* sourceDateEpoch) {
  ConfigListing listing;
  StringOutput reported;
  DiscardedOutput progress;
  ResolvedConfig config;
  const PackMoment moment{nullptr, sourceDateEpoch, std::time(nullptr)};
  const bool resolved = ResolveConfiguration(
      document, {configPath, ConfigDirectoryOf(configPath), moment, nullptr}, config, reported);
  listing.options = config.options;
  reported.WriteDiagnostic(config.diagnostics);
  if (!resolved) {
    Finish(listing, false, ImagePlan{}, reported, {});
    return listing;
  }
  const PackContext context{config.options, reported, nullptr, &progress};
  if (config.options.IsGpt()) {
    GptFirmwarePlan planned;
    const bool ok = PlanGptFirmware(config, context, imageName, planned);
    listing.partitions = std::move(planned.partitions);
    Finish(listing, ok, planned.plan, reported, config.warningLines);
  } else {
    if (!config.identityRefusal) listing.identity = config.identity;
    TaggedFirmwarePlan planned;
    const bool ok = PlanTaggedFirmware(config, context, imageName, planned);
    listing.partitions = std::move(planned.partitions);
    Finish(listing, ok, planned.plan, reported, {});
  }
  return listing;
}

}  // namespace imgweld
