#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "common/Output.h"
#include "config/ConfigDocument.h"
#include "image/FirmwareImage.h"
#include "pack/ImagePlan.h"
#include "pack/PackContext.h"

namespace imgweld {

// The "-P" command: builds `Firmware.img` (and, for the tagged form,
// `Firmware.md5`) in `savingDir` from the configuration at `configPath`.
// `packTime` is the local date and time stamped into the header unless the
// configuration's Date key names one.
bool PackFirmware(const std::string& configPath, const std::string& savingDir, Output& out,
                  const std::tm& packTime);

// The same, stamped with the local time of the clock, or with the moment
// SOURCE_DATE_EPOCH gives (in UTC) when that variable is set; the
// configuration's Date key wins over both.
bool PackFirmware(const std::string& configPath, const std::string& savingDir, Output& out);

// Everything a tagged image's pack run decides before the image is opened
// for writing: the header with its checksums, the records, and the steps.
struct TaggedFirmwarePlan {
  FirmwareHeader header;
  std::vector<PartitionEntry> partitions;  // as the table records them
  ImagePlan plan;                          // `plan.failure`: the refusal to print after its steps
};

// Reads the identity and the partition list of a tagged image from
// `document`, runs the checks that refuse a layout, and plans every byte,
// without writing anything. False when the reading or a check failed, its
// message printed to `context.out`; a refusal found while planning is kept
// in the plan instead, as `-P` prints it only where the writing stops.
// `imagePath` is the image's name as messages print it.
bool PlanTaggedFirmware(const ConfigDocument& document, const PackContext& context,
                        const std::string& imagePath, const std::tm& packTime,
                        TaggedFirmwarePlan& planned);

}  // namespace imgweld
