#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/Output.h"
#include "config/ConfigDocument.h"
#include "image/FirmwareImage.h"
#include "pack/PackOptions.h"

namespace imgweld {

// Checks of the partition list that run right after it is read, before
// anything is written. Each prints one "Packing Error:" line on failure.

// Every `PartOffset`, `PartSize`, `Type` and `Flag` of the first `count`
// partition sections fits 32 bits. A negative text keeps its conversion
// (-1 is 0xFFFFFFFF); a larger positive value would silently lose its high
// bits.
bool CheckPartitionNumbers(const ConfigDocument& document, size_t count, Output& out);

// In the partition-table image every entry's last sector must not lie below
// its first: only the growing last partition may have size 0.
bool CheckGptSizes(const std::vector<PartitionEntry>& partitions, Output& out);

// Sectors [first, end) that a partition's bytes occupy in the image.
struct SectorRange {
  uint64_t first = 0;
  uint64_t end = 0;
};

// What partition `index` of the list occupies: nothing for a skipped
// partition, a boot block partition that writes nothing, or a size of 0.
// `writesBootBlock` says whether a type-2 partition is built (the tagged
// image builds the first one only).
std::optional<SectorRange> OccupiedSectors(const std::vector<PartitionEntry>& partitions,
                                           size_t index, bool writesBootBlock);

// No two partitions share a sector, and none lies on the sectors the image's
// own structures take (0 to 63 of the tagged image, 0 to 33 of the padded
// partition-table image). Not for the compact layout, whose entries do not
// place the data.
bool CheckOverlaps(const std::vector<PartitionEntry>& partitions, ImageForm form, Output& out);

}  // namespace imgweld
