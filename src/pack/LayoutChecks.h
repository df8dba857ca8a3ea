#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/Output.h"
#include "image/FirmwareImage.h"
#include "image/gpt/GptLayout.h"
#include "image/tagged/TaggedLayout.h"
#include "pack/PackOptions.h"
#include "pack/PartitionList.h"
#include "pack/ResolvedConfig.h"

namespace imgweld {

// Checks of the partition list that run right after it is read, before
// anything is written. Each prints one "Packing Error:" line on failure.

// Every `PartOffset`, `PartSize`, `Type` and `Flag` of the partitions read
// fits 32 bits, as their resolution found: the first that does not is
// refused with the line resolving kept. A negative text keeps its
// conversion (-1 is 0xFFFFFFFF); a larger positive value would silently
// lose its high bits.
bool CheckPartitionNumbers(std::span<const ResolvedPartition> partitions, Output& out);

// In the partition-table image every entry's last sector must not lie below
// its first: only the growing last partition may have size 0.
bool CheckGptSizes(const std::vector<PartitionEntry>& partitions, Output& out);

// Sectors [first, end) that a partition's bytes occupy in the image.
struct SectorRange {
  uint64_t first = 0;
  uint64_t end = 0;
};

// No partition writes on the sectors the image's own structures take (0 to
// 63 of the tagged image, 0 to 33 of the padded partition-table image) or
// on an earlier partition's: the first problem ValidateTaggedLayout or
// ValidateGptLayout finds of those is printed. A place past 4 GiB is left
// to the planner, which reports it as every other position past it. The
// compact layout's entries do not place the data: nothing is checked.
bool CheckTaggedPlacement(const TaggedLayout& layout, Output& out);
bool CheckGptPlacement(const GptLayout& layout, Output& out);

// The partition-table image's header records a payload length for at most
// kGptLimits.maxPartitions partitions.
bool CheckGptPartitionCount(const std::vector<PartitionEntry>& partitions, Output& out);

// The checks of a partition-table layout once its numbers are known to fit:
// entry sizes, placement (CheckGptPlacement of `layout`, made from
// `partitions`), and then, for the compact layout, that no fill
// partition moves the write position back and the image stays below 4 GiB;
// for a padded layout with a backup GPT at a known disk end (`diskEnd`, as
// ComputeDiskEnd gives it), that no partition reaches the backup's sectors.
// `imagePath` names the image in the 4 GiB message.
bool CheckGptLayout(const GptLayout& layout, const std::vector<PartitionEntry>& partitions,
                    const PackOptions& options, uint64_t diskEnd, const std::string& imagePath,
                    Output& out);

// The line for an image that would reach past the last 32-bit position.
std::string Beyond4GiBLine(const std::string& imagePath);

}  // namespace imgweld
