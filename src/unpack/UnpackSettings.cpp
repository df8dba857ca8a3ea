#include "unpack/UnpackSettings.h"

#include <algorithm>

#include "common/Output.h"
#include "config/ConfigKeys.h"
#include "config/IniWriter.h"
#include "image/BootBlock.h"

namespace imgweld {

BootFileNames GetBootFileNames(const PartitionEntry& entry) {
  return BootProgramFileNames(IsNanoLayout(GetBootFields(entry)));
}

std::string PartitionFileName(const PartitionEntry& entry) { return entry.Name() + ".img"; }

void RecordSystemSettings(ConfigDocument& document, const FirmwareHeader& header) {
  WriteSystemValue(document, key::kFwVersion, VersionText(header.version));
  // Empty, so that packing builds the tagged image again.
  WriteSystemValue(document, key::kGptEnable, "");
  WriteSystemValue(document, key::kBackupPartitionEnable, header.backupDisabled == 0 ? "1" : "0");
}

void RecordPartition(ConfigDocument& document, uint32_t number, const PartitionEntry& entry) {
  PartitionSettings partition;
  partition.name = entry.Name();
  partition.type = entry.type;
  partition.offset = entry.offset;
  // A growing partition has no size of its own; the packer marks the last
  // one with all ones again.
  if ((entry.flag & PART_FLAG_GROW) == 0) partition.size = entry.size;
  partition.flag = entry.flag;
  partition.file = PartitionFileName(entry);
  WritePartitionSection(document, number, partition);
}

void RecordIdBlock(ConfigDocument& document, uint32_t number, const PartitionEntry& entry) {
  const BootFileNames files = GetBootFileNames(entry);
  PartitionSettings partition;
  partition.name = "IDBlock";
  partition.type = entry.type;
  partition.offset = entry.offset;
  partition.size = entry.size;
  partition.flag = entry.flag;
  partition.flagFormat = FlagFormat::kDecimal;
  partition.file = std::string(files.ddr) + "," + files.loader;
  WritePartitionSection(document, number, partition);
  WriteSystemValue(document, key::kNano, IsNanoLayout(GetBootFields(entry)) ? "1" : "");
}

}  // namespace imgweld
