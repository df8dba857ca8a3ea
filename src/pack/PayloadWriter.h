#pragma once

#include <string>
#include <vector>

#include "image/FirmwareImage.h"
#include "pack/ImageWriter.h"
#include "pack/PackContext.h"

namespace imgweld {

// Copies every partition's payload to its area in list order, padding with
// the fill byte; FILL partitions are filled to their end, SKIP partitions
// get nothing, GROW payloads are neither limited nor padded. The boot block
// partition is written here only for a partition-table image (`Gpt_Enable`
// "1" or "0"); the tagged image's driver writes it itself. In the compact
// layout (`Gpt_Enable` "1") payloads follow each other without padding.
// Prints its own message on failure.
bool WritePartitionPayloads(ImageWriter& image, const PackContext& context,
                            std::vector<PartitionEntry>& partitions);

// The short name shown in "Adding %s ...": the text after the last
// backslash, cut before its last ".".
std::string DisplayName(const std::string& path);

}  // namespace imgweld
