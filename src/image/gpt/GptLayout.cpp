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

std::optional<SectorExtent> GptWrittenSectors(const GptLayoutPartition& p, bool last) {
  uint64_t first = p.offset;
  uint64_t size = p.size;
  const bool skip = (p.flag & PART_FLAG_SKIP) != 0;
  const bool fill = (p.flag & PART_FLAG_FILL) != 0;
  if (p.type == PART_TYPE_IDBLOCK) {
    // Every boot block is built, never below sector 64.
    first = std::max<uint64_t>(first, kBootMinOffset);
  } else if (skip && !fill) {
    return std::nullopt;
  } else if (!skip && !fill && (p.flag & PART_FLAG_GROW) != 0) {
    // A growing payload is not cut to its size; the last one's entry
    // reaches the end of the disk, but its bytes end where its data ends.
    const uint64_t data = (p.payloadLength + kSectorSize - 1) / kSectorSize;
    size = last ? data : std::max(size, data);
  }
  if (size == 0) return std::nullopt;
  return SectorExtent{first, first + size - 1};
}

std::vector<LayoutProblem> ValidateGptLayout(const GptLayout& layout) {
  if (layout.compact) return {};
  std::vector<std::optional<SectorExtent>> spans;
  for (size_t i = 0; i < layout.partitions.size(); ++i) {
    spans.push_back(GptWrittenSectors(layout.partitions[i], i + 1 == layout.partitions.size()));
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
