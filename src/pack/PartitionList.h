#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "common/File.h"
#include "config/ConfigDocument.h"
#include "config/ConfigKeys.h"
#include "image/FirmwareImage.h"
#include "pack/IdBlock.h"
#include "pack/PackContext.h"

namespace imgweld {

// Sections "UserPart1" to "UserPart64" are read, up to the first missing number.
inline constexpr size_t kMaxPartitionSections = 64;

// Header fields from the `System` section. False when there is no `System`
// section (and, for the version, when `FwVersion` gives no piece); no message.
bool ReadFwVersion(const ConfigDocument& document, FirmwareHeader& header);
bool ReadChip(const ConfigDocument& document, FirmwareHeader& header);
bool ReadModel(const ConfigDocument& document, FirmwareHeader& header);

// Key text of the `PARTITION_TYPE_GUID` section -> GUID text, matched byte
// for byte: a partition's `Type_Guid` must name the key in its written case.
using GuidMap = std::map<std::string, std::string>;

// Copies every entry of the `PARTITION_TYPE_GUID` section into `guids`
// (emptied first). False when there is no such section; an empty section
// is fine.
bool ReadPartitionTypeGuids(const ConfigDocument& document, GuidMap& guids);

// The same, with the warning that packing prints when the section is missing.
GuidMap LoadPartitionTypeGuids(const ConfigDocument& document, Output& out);

// The texts a partition's keys were read from, kept for the checks and the
// GPT that take them as written.
struct PartitionKeyTexts {
  std::string name;  // Name
  // PartOffset, PartSize, Type and Flag, in the order of kPartitionNumberTextKeys.
  std::array<std::string, 4> numbers;
  std::string uniqueGuid;  // Unique_Guid; empty: a drawn GUID
  std::string attributes;  // Attributes of the GPT entry; empty: none
};
inline constexpr std::array<std::string_view, 4> kPartitionNumberTextKeys = {
    key::kPartOffset, key::kPartSize, key::kType, key::kFlag};

// The files of one partition: a payload, or a boot block's two programs.
struct PartitionFiles {
  File payload;
  BootPrograms programs;
};

// What a pack run reads of the configuration, read once by ResolvePackInput
// before anything is planned; the planners see this, never the document.
struct PackInput {
  FirmwareHeader identity;                 // the tagged image's version, chip and model
  std::vector<PartitionEntry> partitions;  // every payload measured
  // Per partition, its files, opened when they were measured and kept open
  // for the copy or the boot block; not open where there are none.
  std::vector<PartitionFiles> files;
  std::vector<PartitionKeyTexts> texts;  // per partition
  std::string diskGuid;                  // [System] Disk_Guid; empty: a drawn GUID
};

// Reads `input` from `document`: for the tagged image first its identity
// ("Packing Error:Getting FwVersion failed!" and its kin when it cannot),
// then the partition list as ReadPartitionList reads it. False, its message
// printed, when the run stops here.
bool ResolvePackInput(const ConfigDocument& document, const PackContext& context, PackInput& input);

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
