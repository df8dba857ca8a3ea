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

bool Grows(const GptLayoutPartition& p) { return (p.flag & PART_FLAG_GROW) != 0; }
bool IsBootBlock(const GptLayoutPartition& p) { return p.type == PART_TYPE_IDBLOCK; }
bool Fills(const GptLayoutPartition& p) {
  return !IsBootBlock(p) && (p.flag & PART_FLAG_FILL) != 0;
}
// Decided by type and flag, as the configuration gives them.
bool HoldsPayload(const GptLayoutPartition& p) {
  return !IsBootBlock(p) && (p.flag & (PART_FLAG_SKIP | PART_FLAG_FILL)) == 0;
}

uint64_t DataSectors(const GptLayoutPartition& p) {
  return (p.payloadLength + kSectorSize - 1) / kSectorSize;
}

void AppendEmptyAreas(std::span<const GptLayoutPartition> partitions,
                      std::vector<LayoutProblem>& problems) {
  for (size_t i = 0; i < partitions.size(); ++i) {
    const GptLayoutPartition& p = partitions[i];
    if (p.size != 0 || (i + 1 == partitions.size() && Grows(p))) continue;
    problems.push_back({LayoutRule::kEmptyArea, i, SectorExtent{p.offset, p.offset}, 0, {}});
  }
}

// The sectors the table claims for a partition, or its data covers when a
// growing payload reaches past its size: none of them may lie where the
// backup GPT goes.
std::optional<SectorExtent> ClaimedSectors(const GptLayoutPartition& p) {
  uint64_t end = uint64_t{p.offset} + p.size;
  if (HoldsPayload(p) && Grows(p)) end = std::max(end, uint64_t{p.offset} + DataSectors(p));
  if (end <= p.offset) return std::nullopt;
  return SectorExtent{p.offset, end - 1};
}

// The backup array and header go where the primary header says they are,
// at sectors diskEnd - 33 and diskEnd - 1; the whole disk has to stay
// below 4 GiB.
void AppendBackupProblems(std::span<const GptLayoutPartition> partitions, uint64_t diskEnd,
                          std::vector<LayoutProblem>& problems) {
  std::vector<std::optional<SectorExtent>> claimed;
  for (const GptLayoutPartition& p : partitions) claimed.push_back(ClaimedSectors(p));
  for (const LayoutProblem& problem : FindGptLayoutProblems(claimed, diskEnd)) {
    if (problem.rule == LayoutRule::kBackupArea) problems.push_back(problem);
  }
  if (diskEnd > kMaxImageLength / kSectorSize) {
    const size_t last = partitions.size() - 1;
    const SectorExtent disk{0, diskEnd - 1};
    problems.push_back({LayoutRule::kImageTooLong, last,
                        ClaimedSectors(partitions[last]).value_or(disk), 0,
                        SectorExtent{kMaxImageLength / kSectorSize, diskEnd - 1}});
  }
}

// Back to back from the sector after the array, a fill partition filling
// up to its configured end: the first partition whose data would move the
// write position back or past 4 GiB.
void AppendCompactProblem(std::span<const GptLayoutPartition> partitions,
                          std::vector<LayoutProblem>& problems) {
  uint64_t position = kGptFirstUsableLba * kSectorSize;
  for (size_t i = 0; i < partitions.size(); ++i) {
    const GptLayoutPartition& p = partitions[i];
    const uint64_t start = position;
    if (IsBootBlock(p)) {
      // The boot block writer reports a block it cannot build.
      if (!p.measured) return;
      position += p.payloadLength;
    } else if (Fills(p)) {
      const uint64_t end = (uint64_t{p.offset} + p.size) * kSectorSize;
      if (end < position) {
        // Its area, and the sectors written ahead of it.
        const uint64_t last = std::max<uint64_t>(end / kSectorSize, uint64_t{p.offset} + 1) - 1;
        problems.push_back({LayoutRule::kFillBehind, i, SectorExtent{p.offset, last}, 0,
                            SectorExtent{0, (position - 1) / kSectorSize}});
        return;
      }
      position = end;
    } else if ((p.flag & PART_FLAG_SKIP) == 0) {
      position += p.payloadLength;
    }
    if (position > kMaxImageLength) {
      problems.push_back(
          {LayoutRule::kImageTooLong, i,
           SectorExtent{start / kSectorSize, (position - 1) / kSectorSize}, 0,
           SectorExtent{kMaxImageLength / kSectorSize, (position - 1) / kSectorSize}});
      return;
    }
  }
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
    // Every boot block is built.
    first = GptBootBlockOffset(p.offset);
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

uint64_t GptDiskEnd(const GptLayout& layout) {
  if (layout.compact || layout.partitions.empty()) return kOpenDiskEnd;
  const GptLayoutPartition& last = layout.partitions.back();
  if ((last.flag & PART_FLAG_GROW) != 0) return kOpenDiskEnd;
  return uint64_t{last.offset} + last.size + kGptBackupSectors;
}

SectorExtent GptEntryLbas(const GptLayoutPartition& p, bool last, uint64_t diskEnd) {
  if (last && Grows(p)) return {p.offset, diskEnd - kGptFirstUsableLba};
  return {p.offset, uint64_t{p.offset} + p.size - 1};
}

std::vector<LayoutProblem> ValidateGptLayout(const GptLayout& layout) {
  std::vector<LayoutProblem> problems;
  AppendEmptyAreas(layout.partitions, problems);
  if (layout.compact) {
    AppendCompactProblem(layout.partitions, problems);
    return problems;
  }
  std::vector<std::optional<SectorExtent>> spans;
  for (size_t i = 0; i < layout.partitions.size(); ++i) {
    spans.push_back(GptWrittenSectors(layout.partitions[i], i + 1 == layout.partitions.size()));
  }
  const std::vector<LayoutProblem> placed = FindGptLayoutProblems(spans);
  problems.insert(problems.end(), placed.begin(), placed.end());
  const uint64_t diskEnd = GptDiskEnd(layout);
  if (layout.backup && diskEnd != kOpenDiskEnd) {
    AppendBackupProblems(layout.partitions, diskEnd, problems);
  }
  return problems;
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
