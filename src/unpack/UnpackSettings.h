#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/ConfigDocument.h"
#include "image/BootBlock.h"
#include "image/FirmwareImage.h"

namespace imgweld {

// The "setting.ini" that unpacking writes is built while the records are
// walked, so that packing the output directory again rebuilds the image.
// Sections and keys are added in the order the file lists them; the file is
// saved in creation order.

// The names of the two boot program files of a boot block record.
BootFileNames GetBootFileNames(const PartitionEntry& entry);

// The file an ordinary partition is extracted to: its name and ".img".
std::string PartitionFileName(const PartitionEntry& entry);

// One file -U writes for a record, with where its bytes lie in the image
// and whether they lie there whole, as the reader placed them.
struct ExtractedFile {
  std::string name;
  PayloadExtent extent;
  PayloadPlace place = PayloadPlace::kInside;
};

// Section `System`: `FwVersion`, an empty `Gpt_Enable` and
// `Backup_Partition_Enable`.
void RecordSystemSettings(ConfigDocument& document, const FirmwareHeader& header);

// Section "UserPart<number>" for an ordinary partition.
void RecordPartition(ConfigDocument& document, uint32_t number, const PartitionEntry& entry);

// Section "UserPart<number>" for the boot block; also sets `Nano` in `System`.
void RecordIdBlock(ConfigDocument& document, uint32_t number, const PartitionEntry& entry);

}  // namespace imgweld
