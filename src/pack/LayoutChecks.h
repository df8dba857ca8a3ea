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

// No partition writes on the sectors the tagged image's own structures
// take (0 to 63) or on an earlier partition's: the first problem
// ValidateTaggedLayout finds of those is printed. A place past 4 GiB is
// left to the planner, which reports it as every other position past it.
bool CheckTaggedPlacement(const TaggedLayout& layout, Output& out);

// The partition-table image's header records a payload length for at most
// kGptLimits.maxPartitions partitions.
bool CheckGptPartitionCount(const std::vector<PartitionEntry>& partitions, Output& out);

// The checks of a partition-table layout once its numbers are known to
// fit: the first problem ValidateGptLayout finds (entry sizes, placement,
// room for the backup GPT, the compact layout's write order, 4 GiB) is
// printed, `imagePath` naming the image in the 4 GiB line. A position past
// 4 GiB that a partition's sectors reach is left to the planner.
bool CheckGptLayout(const GptLayout& layout, const std::string& imagePath, Output& out);

// The line for an image that would reach past the last 32-bit position.
std::string Beyond4GiBLine(const std::string& imagePath);

}  // namespace imgweld
