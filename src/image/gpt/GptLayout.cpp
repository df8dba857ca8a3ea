#include "image/gpt/GptLayout.h"

#include <algorithm>
#include <map>

#include "common/Output.h"
#include "config/ConfigDocument.h"
#include "config/ConfigKeys.h"
#include "config/IniWriter.h"

namespace imgweld {
namespace {

const char* Switch(bool on) { return on ? "1" : "0"; }

// The [System] keys, in the order the file lists them: the boot block's
// settings follow the disk GUID, as they do in every kit made so far.
void WriteSystemKeys(const GptLayout& layout, ConfigDocument& document) {
  WriteSystemValue(document, key::kGptEnable, Switch(layout.compact));
  WriteSystemValue(document, key::kBackupPartitionEnable, Switch(layout.backup));
  WriteSystemValue(document, key::kFillByte, Format("0x%02X", layout.fillByte));
  WriteSystemValue(document, key::kDiskGuid, GuidText(layout.diskGuid));
  if (!layout.boot) return;
  const GptBootSettings& boot = *layout.boot;
  WriteSystemValue(document, key::kNano, Switch(boot.nano));
  WriteSystemValue(document, key::kBlankGap, Switch(boot.gap));
  WriteSystemValue(document, key::kLoaderEncrypt, Switch(boot.programsScrambled));
  WriteSystemValue(document, key::kLoaderScrambled, Switch(boot.programsScrambled));
  WriteSystemValue(document, key::kIdbBootEncrypt, Switch(boot.scrambleSectors));
}

}  // namespace

std::vector<LayoutProblem> FindGptLayoutProblems(std::span<const std::optional<SectorExtent>> spans,
                                                 uint64_t diskEnd) {
  return FindLayoutProblems(kGptLimits, spans, diskEnd);
}

std::vector<LayoutProblem> ValidateGptLayout(const GptLayout& layout) {
  if (layout.compact) return {};
  std::vector<std::optional<SectorExtent>> spans;
  for (const GptLayoutPartition& partition : layout.partitions) {
    if (partition.size == 0) {
      spans.emplace_back();
    } else {
      spans.push_back(
          SectorExtent{partition.offset, uint64_t{partition.offset} + partition.size - 1});
    }
  }
  return FindGptLayoutProblems(spans);
}

std::string GptLayoutConfig(const GptLayout& layout, std::span<const std::string> files) {
  ConfigDocument document;
  WriteSystemKeys(layout, document);
  // The type GUIDs' section comes before the partitions that name them.
  document.GetOrAddSection(key::kTypeGuidSection);
  std::map<Guid, std::string> typeKeys;
  for (size_t i = 0; i < layout.partitions.size(); ++i) {
    const GptLayoutPartition& from = layout.partitions[i];
    auto [typeKey, added] = typeKeys.try_emplace(from.typeGuid);
    if (added) {
      typeKey->second = "type" + std::to_string(typeKeys.size());
      WriteTypeGuid(document, typeKey->second, GuidText(from.typeGuid));
    }
    PartitionSettings partition;
    partition.name = from.name;
    partition.type = from.type;
    partition.offset = from.offset;
    partition.size = from.size;
    partition.flag = from.flag;
    partition.file = i < files.size() ? files[i] : std::string();
    partition.typeGuid = typeKey->second;
    partition.uniqueGuid = GuidText(from.uniqueGuid);
    partition.attributes = from.attributes;
    WritePartitionSection(document, i + 1, partition);
  }
  const std::string ownComments[] = {
      "Save as setting.ini beside the partitions' files and pack it to rebuild",
      "the partition-table image byte for byte; every GUID is given here."};
  const std::string foreignComments[] = {
      "Save as setting.ini beside the partitions' files and pack it to make a",
      "partition-table image with the same partitions, names and GUIDs."};
  return IniText(document, layout.foreign ? foreignComments : ownComments);
}

bool GptNameFitsConfig(const std::string& name) {
  return IniCanCarry(name) && std::none_of(name.begin(), name.end(), [](char c) {
           const auto byte = static_cast<unsigned char>(c);
           return byte < 0x20 || byte == 0x7F;
         });
}

}  // namespace imgweld
