#include "inspect/ConfigListing.h"

#include <algorithm>
#include <ctime>
#include <string_view>

#include "pack/ConfigWarnings.h"
#include "pack/GptWriter.h"
#include "pack/ImagePlan.h"
#include "pack/PackContext.h"
#include "pack/PackFirmware.h"
#include "pack/PackTime.h"
#include "pack/PartitionList.h"

namespace imgweld {
namespace {

constexpr uint64_t kTaggedReserved = kVendorAreaEnd / kSectorSize;
constexpr uint64_t kGptReserved = 34;

bool StartsWith(std::string_view line, std::string_view prefix) {
  return line.substr(0, prefix.size()) == prefix;
}

// What -P printed while it read and planned, sorted: the lines that report
// a refusal, and the rest that is no progress.
void SortMessages(const std::string& text, ConfigListing& listing, std::string& errors) {
  std::string_view rest = text;
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end == std::string_view::npos ? end : end + 1);
    rest.remove_prefix(line.size());
    if (StartsWith(line, "Packing Error:") || StartsWith(line, "file key should be format")) {
      errors += line;
    } else if (StartsWith(line, "Packing GPT:")) {
      listing.warnings += line;
    }
  }
}

std::string FailText(const ImagePlan& plan) {
  for (const WriteStep& step : plan.steps) {
    if (step.kind == WriteStep::Kind::kFail) return step.text;
  }
  return {};
}

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

void Finish(ConfigListing& listing, bool planned, const ImagePlan& plan,
            const StringOutput& messages) {
  listing.warnings = messages.Diagnostics();
  std::string errors;
  SortMessages(messages.Text(), listing, errors);
  if (!planned || plan.failed) {
    listing.refusal = errors + (planned ? FailText(plan) : std::string());
  } else {
    listing.warnings += errors;  // a boot block record the tagged image does not build
    listing.imageLength = plan.length;
  }
  const ImageForm form = listing.options.form;
  bool bootSeen = false;
  for (size_t i = 0; i < listing.partitions.size(); ++i) {
    const bool boot = listing.partitions[i].type == PART_TYPE_IDBLOCK;
    const bool built = boot && (form != ImageForm::kTagged || !bootSeen);
    listing.occupied.push_back(OccupiedSectors(listing.partitions, i, built));
    bootSeen = bootSeen || boot;
  }
  if (form != ImageForm::kGptCompact) {
    listing.gaps =
        FindGaps(listing.occupied, form == ImageForm::kTagged ? kTaggedReserved : kGptReserved);
  }
}

}  // namespace

ConfigListing DescribeConfiguration(const ConfigDocument& document, const std::string& configPath,
                                    const std::string& imageName, const char* sourceDateEpoch) {
  ConfigListing listing;
  listing.options = ResolvePackOptions(document, ConfigDirectoryOf(configPath));
  StringOutput messages;
  const PackContext context{listing.options, messages};
  WarnAboutConfiguration(document, listing.options, configPath, messages);
  const std::optional<std::tm> packTime =
      ResolveDocumentPackTime(document, nullptr, sourceDateEpoch, std::time(nullptr), messages);
  if (!packTime) {
    Finish(listing, false, ImagePlan{}, messages);
    return listing;
  }
  if (listing.options.IsGpt()) {
    const GuidMap guids = LoadPartitionTypeGuids(document, messages);
    GptFirmwarePlan planned;
    const bool ok = PlanGptFirmware(document, context, guids, imageName, planned);
    listing.partitions = std::move(planned.partitions);
    Finish(listing, ok, planned.plan, messages);
  } else {
    FirmwareHeader identity;
    if (ReadFwVersion(document, identity) && ReadChip(document, identity) &&
        ReadModel(document, identity)) {
      listing.identity = identity;
    }
    TaggedFirmwarePlan planned;
    const bool ok = PlanTaggedFirmware(document, context, imageName, *packTime, planned);
    listing.partitions = std::move(planned.partitions);
    Finish(listing, ok, planned.plan, messages);
  }
  return listing;
}

}  // namespace imgweld
