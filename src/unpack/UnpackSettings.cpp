#include "unpack/UnpackSettings.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "common/Output.h"
#include "image/BootBlock.h"

namespace imgweld {
namespace {

ConfigSection& AddUserPart(ConfigDocument& document, uint32_t number) {
  return *document.GetOrAddSection(Format("UserPart%u", number));
}

}  // namespace

BootFileNames GetBootFileNames(const PartitionEntry& entry) {
  if (IsNanoLayout(GetBootFields(entry))) return {"nanoboot1.bin", "nanoboot2.bin"};
  return {"flashdata.bin", "flashboot.bin"};
}

std::string PartitionFileName(const PartitionEntry& entry) { return entry.Name() + ".img"; }

bool IsPlainFileName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  return std::none_of(name.begin(), name.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte == '/' || byte == '\\' || byte < 0x20 || byte == 0x7F;
  });
}

void RecordSystemSettings(ConfigDocument& document, const FirmwareHeader& header) {
  ConfigSection& system = *document.GetOrAddSection("System");
  system.SetValue("FwVersion", VersionText(header.version));
  // Empty, so that packing builds the tagged image again.
  system.SetValue("Gpt_Enable", "");
  system.SetValue("Backup_Partition_Enable", header.backupDisabled == 0 ? "1" : "0");
}

void RecordPartition(ConfigDocument& document, uint32_t number, const PartitionEntry& entry) {
  ConfigSection& section = AddUserPart(document, number);
  section.SetValue("Name", entry.Name());
  section.SetValue("Type", Format("0x%X", entry.type));
  section.SetValue("PartOffset", Format("0x%X", entry.offset));
  // A growing partition has no size of its own; the packer marks the last
  // one with all ones again.
  section.SetValue("PartSize",
                   (entry.flag & PART_FLAG_GROW) != 0 ? "" : Format("0x%X", entry.size));
  section.SetValue("Flag", Format("0x%x", entry.flag));
  section.SetValue("File", PartitionFileName(entry));
}

void RecordIdBlock(ConfigDocument& document, uint32_t number, const PartitionEntry& entry) {
  ConfigSection& section = AddUserPart(document, number);
  section.SetValue("Name", "IDBlock");
  section.SetValue("Type", Format("0x%X", entry.type));
  section.SetValue("PartOffset", Format("0x%X", entry.offset));
  section.SetValue("PartSize", Format("0x%X", entry.size));
  section.SetValue("Flag", Format("%d", static_cast<int>(entry.flag)));
  document.GetOrAddSection("System")->SetValue("Nano",
                                               IsNanoLayout(GetBootFields(entry)) ? "1" : "");
  const BootFileNames files = GetBootFileNames(entry);
  section.SetValue("File", std::string(files.ddr) + "," + files.loader);
}

}  // namespace imgweld
