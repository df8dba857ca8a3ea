#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "common/Output.h"
#include "config/ConfigDocument.h"
#include "image/FirmwareImage.h"
#include "image/ImageFiles.h"
#include "pack/ImagePlan.h"
#include "pack/PackContext.h"
#include "pack/PartitionList.h"
#include "pack/ResolvedConfig.h"

// How a pack run goes, in five steps, each in its own place:
//   resolve  the configuration is read once (ResolveConfiguration): the
//            switches, the time, the identity, the type GUIDs and every
//            partition's numbers and texts, converted and checked, before
//            the saving directory is looked at. Once the image's temporary
//            file exists, the partition list is read from that value with
//            every payload file opened and measured (ReadPackInput). Nothing
//            below reads the document again.
//   plan     every byte of the image is laid out from that input
//            (PlanTaggedFirmware, PlanGptFirmware): the steps of ImagePlan.
//   check    the layout checks (LayoutChecks) refuse a layout before the
//            first byte; a failure the plan finds ahead of its turn is kept
//            in the plan as its PlanFailure.
//   write    WritePlannedImage performs the steps, printing a kept failure
//            where the writing stops; the files measured are checked again.
//   commit   the image, and for the tagged form its hash file, are renamed
//            over the earlier outputs as one change (CommitPackOutputs).
// Every step prints its own failure once and returns false; the driver
// passes the false on, and the command line maps it to the exit code.

namespace imgweld {

// The "-P" command: builds `Firmware.img` (and, for the tagged form,
// `Firmware.md5`) in `savingDir` from the configuration at `configPath`.
// `packTime` is the local date and time stamped into the header unless the
// configuration's Date key names one. `strict`: every warning about the
// configuration refuses the run instead, with a "Packing Error:strict:"
// line naming the first, before anything is written.
bool PackFirmware(const std::string& configPath, const std::string& savingDir, Output& out,
                  const std::tm& packTime, bool strict = false);

// The same, stamped with the local time of the clock, or with the moment
// SOURCE_DATE_EPOCH gives (in UTC) when that variable is set; the
// configuration's Date key wins over both.
bool PackFirmware(const std::string& configPath, const std::string& savingDir, Output& out,
                  bool strict = false);

// Everything a tagged image's pack run decides before the image is opened
// for writing: the header with its checksums, the records, and the steps.
struct TaggedFirmwarePlan {
  FirmwareHeader header;
  std::vector<PartitionEntry> partitions;  // as the table records them
  ImagePlan plan;                          // `plan.failure`: the refusal to print after its steps
};

// Reads the partition list of `config` (ReadPackInput), runs the checks
// that refuse the layout of a tagged image and plans every byte, stamped
// with `config.packTime`, without writing anything. False when the list
// could not be read or a check failed, its message printed to
// `context.out` (whose options are `config.options`); the partitions as
// far as they were read are left in `planned`. A refusal found while
// planning is kept in the plan instead, as `-P` prints it only where the
// writing stops. `imagePath` is the image's name as messages print it.
bool PlanTaggedFirmware(const ResolvedConfig& config, const PackContext& context,
                        const std::string& imagePath, TaggedFirmwarePlan& planned);

// The same from `document`, resolved first (ResolveConfiguration), stamped
// with `packTime` whatever its Date key says.
bool PlanTaggedFirmware(const ConfigDocument& document, const PackContext& context,
                        const std::string& imagePath, const std::tm& packTime,
                        TaggedFirmwarePlan& planned);

}  // namespace imgweld
