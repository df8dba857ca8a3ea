#pragma once

#include <span>
#include <string>
#include <vector>

#include "common/File.h"
#include "image/FirmwareImage.h"
#include "pack/ImagePlan.h"
#include "pack/PackContext.h"
#include "pack/PartitionList.h"

namespace imgweld {

// Lays out the boot block of `entry` (built here from `fileText`): at its
// sector and again at its middle sector, padded to the partition's end, or
// once where the data so far ends in the compact layout. A block that cannot
// be built makes the plan fail here, with the messages writing it would print.
// `programs`: as PlanIdBlock takes them.
void PlanIdBlockSteps(PlanBuilder& plan, const PackContext& context, PartitionEntry& entry,
                      const std::string& fileText, BootPrograms* programs = nullptr);

// Lays out every partition of the list in list order: a payload at its
// sector, padded to the end of its area unless it grows; a fill partition's
// area of fill bytes; nothing for a skipped one. In the compact layout the
// payloads follow each other with no padding. Boot block partitions are laid
// out here only in the partition-table image (the tagged image places its
// boot block before the other partitions). `files`, when given, holds per
// partition its files, opened when they were measured: a payload moves into
// the plan, a boot block is built from its programs. A file that is not
// open there is opened here.
void PlanPartitionSteps(PlanBuilder& plan, const PackContext& context,
                        std::vector<PartitionEntry>& partitions,
                        std::span<PartitionFiles> files = {});

// The short name the progress line shows: the text after the last backslash,
// cut before its last ".".
std::string DisplayName(const std::string& path);

}  // namespace imgweld
