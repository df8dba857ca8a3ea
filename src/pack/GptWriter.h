#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "config/ConfigDocument.h"
#include "image/FirmwareImage.h"
#include "image/ImageFiles.h"
#include "image/gpt/GptLayout.h"
#include "pack/ImagePlan.h"
#include "pack/PackContext.h"
#include "pack/PartitionList.h"
#include "pack/ResolvedConfig.h"

// The planner of the partition-table image: from the resolved configuration it
// builds the GPT and lays out every byte; the layout checks it runs live in
// LayoutChecks, the records' encoding in image/GptRecords, and the driver
// (PackFirmware) writes and commits the plan as it does the tagged image's.

namespace imgweld {

// Everything a partition-table image's pack run decides before the image is
// opened for writing.
struct GptFirmwarePlan {
  std::vector<PartitionEntry> partitions;  // boot block offsets raised to 64
  uint64_t diskEnd = 0;                    // GptDiskEnd of the layout
  ImagePlan plan;                          // `plan.failure`: the refusal to print after its steps
};

// Reads the partition list of `config` (ReadPackInput), runs the checks
// that refuse the layout of a partition-table image, builds the GPT and
// plans every byte, without writing anything. False when the list could not
// be read or a check failed, its message printed to `context.out` (whose
// options are `config.options`), the partitions as far as they were read
// left in `planned`; a refusal found while planning is kept in the plan.
// Draws the random GUIDs.
bool PlanGptFirmware(const ResolvedConfig& config, const PackContext& context,
                     const std::string& imagePath, GptFirmwarePlan& planned);

// The same from `document`, resolved first (ResolveConfiguration) with the
// type GUIDs `guids`.
bool PlanGptFirmware(const ConfigDocument& document, const PackContext& context,
                     const GuidMap& guids, const std::string& imagePath, GptFirmwarePlan& planned);

}  // namespace imgweld
