#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/ConfigDocument.h"
#include "image/FirmwareImage.h"
#include "pack/ImagePlan.h"
#include "pack/LayoutChecks.h"
#include "pack/PackOptions.h"

namespace imgweld {

// Sectors [first, end) that a partition's bytes occupy in the image.
struct SectorRange {
  uint64_t first = 0;
  uint64_t end = 0;
};

// The image that `-P` would write from a configuration, taken from the same
// plan `-P` makes, without opening any output: what goes where, or the
// refusal `-P` would print.
struct ConfigListing {
  PackOptions options;
  // Tagged image only: version, chip and model as the header would hold them.
  std::optional<FirmwareHeader> identity;
  // The partitions as far as they were read, as the table would record them:
  // boot block offsets raised to 64, payload lengths measured.
  std::vector<PartitionEntry> partitions;
  // Per partition, the sectors its bytes take; nothing for one that writes
  // nothing (skipped, or a boot block that is not built).
  std::vector<std::optional<SectorRange>> occupied;
  // The sector ranges between the image's own structures and the partitions
  // that no partition takes (they hold fill bytes); none for the compact
  // layout, whose payloads follow each other.
  std::vector<SectorRange> gaps;
  std::optional<uint64_t> imageLength;  // when -P would write the image
  // What -P warns about: its diagnostics on likely mistakes, and the lines
  // it prints that are neither progress nor the refusal (the missing
  // PARTITION_TYPE_GUID warning, a boot block record that is not built).
  std::string warnings;
  // Whether -P refuses the configuration. It then prints `reported` (the
  // lines it printed beside its progress before it stopped) and, when the
  // plan found the failure ahead of its turn, that failure's line.
  bool refused = false;
  std::string reported;
  std::optional<PlanFailure> failure;

  bool Refused() const { return refused; }
  // The lines -P prints for its refusal, byte for byte; empty when it packs.
  std::string RefusalText() const;
};

// Plans the image of the configuration at `configPath` (already loaded into
// `document`) as `-P` would with SOURCE_DATE_EPOCH set to `sourceDateEpoch`
// (null: unset); `imageName` stands for the image path in the messages.
ConfigListing DescribeConfiguration(const ConfigDocument& document, const std::string& configPath,
                                    const std::string& imageName, const char* sourceDateEpoch);

}  // namespace imgweld
