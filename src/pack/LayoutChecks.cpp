#include "pack/LayoutChecks.h"

#include <algorithm>
#include <string>

#include "image/BootBlock.h"
#include "image/GptRecords.h"
#include "image/gpt/GptLayout.h"
#include "image/tagged/TaggedLayout.h"
#include "pack/IdBlock.h"
#include "pack/PartitionList.h"

namespace imgweld {
namespace {

constexpr uint64_t kSector = kSectorSize;

bool IsPartitionPayload(const PartitionEntry& entry) {
  return entry.type != PART_TYPE_IDBLOCK && (entry.flag & (PART_FLAG_SKIP | PART_FLAG_FILL)) == 0;
}

uint64_t DataSectors(const PartitionEntry& entry) {
  return (entry.dataLength + kSector - 1) / kSector;
}

void ReportOverlap(const std::string& name, const SectorExtent& span, const char* other,
                   const SectorExtent& otherSpan, Output& out) {
  out.Printf(
      "Packing Error:partition %s at sectors %llx-%llx overlaps %s at sectors %llx-%llx!\r\n",
      name.c_str(), Ull(span.first), Ull(span.last), other, Ull(otherSpan.first),
      Ull(otherSpan.last));
}

std::optional<SectorExtent> SpanOf(const std::optional<SectorRange>& range) {
  if (!range || range->end <= range->first) return std::nullopt;
  return SectorExtent{range->first, range->end - 1};
}

// The first partition on the image's own sectors or on an earlier
// partition's, named by its layout's `name` as the "Packing Error:" line
// has always named it; `reserved` says what the form keeps there.
template <typename Partitions>
bool ReportPlacement(const std::vector<LayoutProblem>& problems, const Partitions& partitions,
                     const char* reserved, Output& out) {
  for (const LayoutProblem& problem : problems) {
    const std::string& name = partitions[problem.partition].name;
    if (problem.rule == LayoutRule::kReservedArea) {
      ReportOverlap(name, problem.span, reserved, problem.area, out);
      return false;
    }
    if (problem.rule == LayoutRule::kOverlap) {
      const std::string other = "partition " + partitions[problem.other].name;
      ReportOverlap(name, problem.span, other.c_str(), problem.area, out);
      return false;
    }
  }
  return true;
}

// End sector (exclusive) of everything the padded layout writes for the
// partition or the table claims for it: a growing payload may reach past
// its configured size.
uint64_t PaddedExtentEnd(const PartitionEntry& entry) {
  uint64_t end = uint64_t{entry.offset} + entry.size;
  if (IsPartitionPayload(entry) && (entry.flag & PART_FLAG_GROW) != 0) {
    end = std::max(end, uint64_t{entry.offset} + DataSectors(entry));
  }
  return end;
}

// The backup array and header go where the primary header says they are,
// at sectors diskEnd - 33 and diskEnd - 1; nothing the table claims for a
// partition may lie there, and the whole image has to stay below 4 GiB.
bool CheckRoomForBackup(const std::vector<PartitionEntry>& partitions, uint64_t diskEnd,
                        const std::string& imagePath, Output& out) {
  std::vector<std::optional<SectorExtent>> claimed;
  for (const PartitionEntry& entry : partitions) {
    claimed.push_back(SpanOf(SectorRange{entry.offset, PaddedExtentEnd(entry)}));
  }
  const std::vector<LayoutProblem> problems = FindGptLayoutProblems(claimed, diskEnd);
  if (const LayoutProblem* problem = FirstProblemOf(problems, LayoutRule::kBackupArea)) {
    out.Printf(
        "Packing Error:partition %s ends past sector %llx, the last one before the backup "
        "GPT!\r\n",
        partitions[problem->partition].Name().c_str(), Ull(problem->area.first - 1));
    return false;
  }
  if (!SectorPosition(diskEnd)) {
    out.Write(Beyond4GiBLine(imagePath));
    return false;
  }
  return true;
}

// Compact layout: the payloads follow each other from sector 34, and a fill
// partition fills up to its configured end. A fill partition that ends below
// what was written ahead of it would move the write position back, and the
// next payloads would overwrite earlier ones.
bool CheckCompactLayout(const std::vector<PartitionEntry>& partitions, const std::string& imagePath,
                        Output& out) {
  uint64_t position = kGptFirstUsableLba * kSector;
  for (const PartitionEntry& entry : partitions) {
    if (entry.type == PART_TYPE_IDBLOCK) {
      // The boot block writer reports a block that cannot be built.
      if (entry.dataLength == kIdBlockFailed) return true;
      position += entry.dataLength;
    } else if ((entry.flag & PART_FLAG_FILL) != 0) {
      const uint64_t end = (uint64_t{entry.offset} + entry.size) * kSector;
      if (end < position) {
        out.Printf(
            "Packing Error:partition %s ends before the data written ahead of it in the "
            "compact image!\r\n",
            entry.Name().c_str());
        return false;
      }
      position = end;
    } else if ((entry.flag & PART_FLAG_SKIP) == 0) {
      position += entry.dataLength;
    }
    if (position > kMaxImageLength) {
      out.Write(Beyond4GiBLine(imagePath));
      return false;
    }
  }
  return true;
}

}  // namespace

std::string Beyond4GiBLine(const std::string& imagePath) {
  return Format("Packing Error:%s does not fit below 4 GiB!\r\n", imagePath.c_str());
}

bool CheckGptPartitionCount(const std::vector<PartitionEntry>& partitions, Output& out) {
  if (partitions.size() <= kGptLimits.maxPartitions) return true;
  out.Printf("Packing Error:too many partitions, %zu found, the GPT header holds at most %zu!\r\n",
             partitions.size(), kGptLimits.maxPartitions);
  return false;
}

bool CheckGptLayout(const GptLayout& layout, const std::vector<PartitionEntry>& partitions,
                    const PackOptions& options, uint64_t diskEnd, const std::string& imagePath,
                    Output& out) {
  if (!CheckGptSizes(partitions, out) || !CheckGptPlacement(layout, out)) {
    return false;
  }
  if (options.IsCompact()) return CheckCompactLayout(partitions, imagePath, out);
  if (options.backup && diskEnd != kOpenDiskEnd) {
    return CheckRoomForBackup(partitions, diskEnd, imagePath, out);
  }
  return true;
}

bool CheckPartitionNumbers(std::span<const ResolvedPartition> partitions, Output& out) {
  for (const ResolvedPartition& partition : partitions) {
    if (!partition.numberRefusal) continue;
    out.Write(*partition.numberRefusal);
    return false;
  }
  return true;
}

bool CheckGptSizes(const std::vector<PartitionEntry>& partitions, Output& out) {
  for (size_t i = 0; i < partitions.size(); ++i) {
    const PartitionEntry& entry = partitions[i];
    const bool growingLast = i + 1 == partitions.size() && (entry.flag & PART_FLAG_GROW) != 0;
    if (entry.size != 0 || growingLast) continue;
    out.Printf(
        "Packing Error:partition %s has size 0, so its table entry would end before it "
        "begins!\r\n",
        entry.Name().c_str());
    return false;
  }
  return true;
}

bool CheckTaggedPlacement(const TaggedLayout& layout, Output& out) {
  return ReportPlacement(ValidateTaggedLayout(layout), layout.partitions,
                         "the image header, partition table and vendor area", out);
}

bool CheckGptPlacement(const GptLayout& layout, Output& out) {
  return ReportPlacement(ValidateGptLayout(layout), layout.partitions,
                         "the protective MBR and partition table", out);
}

}  // namespace imgweld
