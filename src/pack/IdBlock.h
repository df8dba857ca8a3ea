#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/BootBlock.h"
#include "image/FirmwareImage.h"
#include "pack/ImagePlan.h"
#include "pack/PackContext.h"

namespace imgweld {

inline constexpr uint32_t kIdBlockFailed = 0xFFFFFFFF;

// The byte length the boot block of `entry` will have, from its two files'
// lengths; kIdBlockFailed when its "ddr,loader" file text has no comma or a
// file cannot be opened (with the message that writing the block would
// print) or the programs do not fit the layout (silently: planning the
// block reports that).
uint32_t GetIdBlockSize(const PackContext& context, const PartitionEntry& entry);

// The boot block of one partition, built before anything is written.
struct PlannedIdBlock {
  std::vector<uint8_t> block;  // as written into the partition, gap mode included
  // The two programs as they were measured, to be checked once the image is
  // written.
  std::vector<WatchedInput> inputs;
};

// Builds the boot block of `entry` from the "ddr,loader" `fileText`. On
// success `entry` holds what the table records: `offset` raised to 64,
// `dataLength` and the boot fields. The block goes at sector `offset` and
// again at `offset` + `size` / 2, padded to the partition's end; in the
// compact partition-table layout once, where the previous data ends. A
// block that cannot be built ends `plan` with the failure, to be printed
// where the block would have been written; false then.
bool PlanIdBlock(PlanBuilder& plan, const PackContext& context, PartitionEntry& entry,
                 const std::string& fileText, PlannedIdBlock& planned);

}  // namespace imgweld
