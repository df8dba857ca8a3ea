#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "image/FirmwareImage.h"
#include "image/gpt/GptLayout.h"
#include "image/tagged/TaggedLayout.h"
#include "pack/PartitionList.h"
#include "pack/ResolvedConfig.h"

// The layout value of each image form made from what a pack run has read,
// so that -P judges a layout by the same rules (ValidateTaggedLayout,
// ValidateGptLayout) that judge one read back from an image.

namespace imgweld {

// The tagged partitions of a list as the packer treats them: the first boot
// block record is built, a later one is only measured.
std::vector<TaggedPartition> TaggedPartitionsOf(const std::vector<PartitionEntry>& partitions);

// The tagged layout a pack run makes: identity, time, switches and each
// partition with its measured payload. The boot programs' lengths are left
// 0: they are known once the block is built.
TaggedLayout TaggedLayoutOf(const ResolvedConfig& config, const PackInput& input);

// The partitions of a partition-table list, with the GUIDs the
// configuration gives (a drawn one is left zero) when `resolved` holds the
// list's sections, in list order.
std::vector<GptLayoutPartition> GptPartitionsOf(const std::vector<PartitionEntry>& partitions,
                                                std::span<const ResolvedPartition> resolved = {});

// The partition-table layout a pack run makes, its boot block offsets as
// the table records them (raised to 64). A disk GUID the configuration does
// not give is drawn later and left zero here.
GptLayout GptLayoutOf(const ResolvedConfig& config, const PackInput& input);

}  // namespace imgweld
