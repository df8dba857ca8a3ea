#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/File.h"
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

// The two programs of a boot block, opened when the block is measured and
// kept open to build it, so that each is opened once.
struct BootPrograms {
  File ddr;
  File loader;
};

// GetIdBlockSize, leaving the programs open in `programs`.
uint32_t GetIdBlockSize(const PackContext& context, const PartitionEntry& entry,
                        BootPrograms& programs);

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
// `programs`, when given and open, are the programs as GetIdBlockSize
// opened them; otherwise they are opened here.
bool PlanIdBlock(PlanBuilder& plan, const PackContext& context, PartitionEntry& entry,
                 const std::string& fileText, PlannedIdBlock& planned,
                 BootPrograms* programs = nullptr);

}  // namespace imgweld
