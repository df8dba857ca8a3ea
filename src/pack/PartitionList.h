#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/File.h"
#include "config/ConfigDocument.h"
#include "config/ConfigKeys.h"
#include "image/FirmwareImage.h"
#include "pack/IdBlock.h"
#include "pack/PackContext.h"
#include "pack/ResolvedConfig.h"

namespace imgweld {

// Sections "UserPart1" to "UserPart64" are read, up to the first missing number.
inline constexpr size_t kMaxPartitionSections = 64;

// Header fields from the `System` section. False when there is no `System`
// section (and, for the version, when `FwVersion` gives no piece); no message.
bool ReadFwVersion(const ConfigDocument& document, FirmwareHeader& header);
bool ReadChip(const ConfigDocument& document, FirmwareHeader& header);
bool ReadModel(const ConfigDocument& document, FirmwareHeader& header);

// Copies every entry of the `PARTITION_TYPE_GUID` section into `guids`
// (emptied first). False when there is no such section; an empty section
// is fine.
bool ReadPartitionTypeGuids(const ConfigDocument& document, GuidMap& guids);

// The files of one partition: a payload, or a boot block's two programs.
struct PartitionFiles {
  File payload;
  BootPrograms programs;
};

// The partition list of a pack run, read from its resolved configuration
// once the image is open: every payload measured.
struct PackInput {
  std::vector<PartitionEntry> partitions;
  // Per partition, its files, opened when they were measured and kept open
  // for the copy or the boot block; not open where there are none.
  std::vector<PartitionFiles> files;
};

// Reads the list of `config` into `input` as a pack run does: for the
// tagged image first the identity's refusal ("Packing Error:Getting
// FwVersion failed!" and its kin), then per partition its refusal, or its
// payload measured and one "name=..., offset=..." progress line. On false
// exactly one message has been printed here, normally "Packing
// Error:Getting UserPart failed!\r", or a line naming a partition the image
// cannot hold (a partition reaching past 4 GiB, a Type_Guid text too long
// for its field, a boot block partition flagged to be skipped or filled);
// the partitions read so far are left in `input`.
bool ReadPackInput(const ResolvedConfig& config, const PackContext& context, PackInput& input);

// Fills `partitions` (cleared first) from the "UserPart%d" sections as
// ReadPackInput reads them, without the identity.
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
