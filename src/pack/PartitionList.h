#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/File.h"
#include "config/ConfigDocument.h"
#include "config/ConfigKeys.h"
#include "image/FirmwareImage.h"
#include "pack/PackContext.h"

namespace imgweld {

// Sections "UserPart1" to "UserPart64" are read, up to the first missing number.
inline constexpr size_t kMaxPartitionSections = 64;

// Header fields from the `System` section. False when there is no `System`
// section (and, for the version, when `FwVersion` gives no piece); no message.
bool ReadFwVersion(const ConfigDocument& document, FirmwareHeader& header);
bool ReadChip(const ConfigDocument& document, FirmwareHeader& header);
bool ReadModel(const ConfigDocument& document, FirmwareHeader& header);

// Fills `partitions` (cleared first) from the "UserPart%d" sections, printing
// one "name=..., offset=..." line per partition and measuring every payload.
// On false exactly one message has been printed here, normally
// "Packing Error:Getting UserPart failed!\r", or a line naming a partition
// the image cannot hold (a partition reaching past 4 GiB, a Type_Guid text
// too long for its field, a boot block partition flagged to be skipped or
// filled); callers only pass the false result on.
bool ReadPartitionList(const ConfigDocument& document, const PackContext& context,
                       std::vector<PartitionEntry>& partitions);

// Pieces of `text` between occurrences of `separator`; a trailing empty
// piece is dropped, so "1.2." gives two pieces and "" none.
std::vector<std::string> SplitText(const std::string& text, const std::string& separator);

// Length of the file at `path`, or kNoLength when it cannot be opened.
uint64_t GetFileLength(const std::string& path);
// The same, leaving `file` open on success and, on failure, holding why
// (a FIFO, socket, character device or directory is refused unread).
uint64_t MeasureInput(const std::string& path, File& file);

}  // namespace imgweld
