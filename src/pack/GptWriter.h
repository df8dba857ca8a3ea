#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>

#include "config/ConfigDocument.h"
#include "image/FirmwareImage.h"
#include "pack/PackContext.h"
#include "pack/PackOutput.h"

namespace imgweld {

// Key text of the `PARTITION_TYPE_GUID` section -> GUID text, matched byte
// for byte: a partition's `Type_Guid` must name the key in its written case.
using GuidMap = std::map<std::string, std::string>;

// Copies every entry of the `PARTITION_TYPE_GUID` section into `guids`
// (emptied first). False when there is no such section; an empty section
// is fine.
bool ReadPartitionTypeGuids(const ConfigDocument& document, GuidMap& guids);

// The sector count the GPT gives the disk: open (kOpenDiskEnd) for the
// compact layout and when the last partition of the list grows; otherwise
// the end of the last partition of the list (list order, not sector order)
// plus the 33 sectors of the backup array and header.
uint64_t ComputeDiskEnd(std::span<const PartitionEntry> partitions, bool compact);

// Writes the partition-table form of the image (protective MBR, GPT,
// partitions, optional backup GPT) as `Firmware.img` in `dir`, used when `Gpt_Enable` is
// "1" (compact: payloads back to back, no backup) or "0" (padded: every
// payload at its sector). Prints its own messages.
bool WriteGptFirmware(const ConfigDocument& document, const PackContext& context,
                      SavingDirectory& dir);

}  // namespace imgweld
