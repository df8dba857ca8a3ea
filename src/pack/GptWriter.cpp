#include "pack/GptWriter.h"

#include <optional>
#include <vector>

#include "image/BootBlock.h"
#include "image/GptRecords.h"
#include "pack/ImagePlan.h"
#include "pack/LayoutChecks.h"
#include "pack/PackLayout.h"
#include "pack/PartitionList.h"
#include "pack/PayloadPlan.h"
#include "pack/ResolvedConfig.h"

namespace imgweld {
namespace {

constexpr uint64_t kSector = kSectorSize;
// Backup array and backup header at the end of the disk.
constexpr uint64_t kBackupSectors = kGptBackupSectors;

// The data goes where the layout places it, so that the table and the data
// agree: a boot block at sector 64 at the lowest.
void PlaceAsLayout(const GptLayout& layout, std::vector<PartitionEntry>& partitions) {
  for (size_t i = 0; i < partitions.size() && i < layout.partitions.size(); ++i) {
    partitions[i].offset = layout.partitions[i].offset;
  }
}

// Bytes 0 to 15 and 16 to 31 of an entry: a configured type GUID and a
// random unique GUID, or two random GUIDs, unique first. A GUID set in the
// configuration replaces the one drawn for its place; the draw still
// happens, so every other GUID stays what it would have been.
void FillEntryGuids(const ResolvedPartition& partition, GptEntry& entry) {
  RandomGuid(entry.uniqueGuid);
  if (partition.typeGuid) {
    entry.typeGuid = *partition.typeGuid;
  } else {
    RandomGuid(entry.typeGuid);
  }
  if (partition.uniqueGuid) entry.uniqueGuid = *partition.uniqueGuid;
}

// Primary header and partition array, both with their checksums. The disk
// GUID is drawn first, then each partition's GUIDs in list order.
bool BuildGptTables(const ResolvedConfig& config, const GptLayout& layout, uint64_t diskEnd,
                    GptTables& tables, Output& out) {
  const std::vector<GptLayoutPartition>& partitions = layout.partitions;
  GptHeader header;
  header.backupLba = diskEnd - 1;
  header.lastUsableLba = diskEnd - kGptFirstUsableLba;
  RandomGuid(header.diskGuid);
  if (config.diskGuidRefusal) {
    out.Write(*config.diskGuidRefusal);
    return false;
  }
  if (config.diskGuid) header.diskGuid = *config.diskGuid;
  header.layoutMarker = layout.compact ? kGptCompactMarker : kGptPaddedMarker;
  header.backupEnabled = layout.backup ? 1 : 0;
  header.partitionCount = static_cast<uint16_t>(partitions.size());

  std::vector<GptEntry> entries(partitions.size());
  for (size_t i = 0; i < partitions.size(); ++i) {
    const GptLayoutPartition& partition = partitions[i];
    const ResolvedPartition& resolved = config.partitions[i];
    GptEntry& entry = entries[i];
    if (resolved.gptRefusal) {
      out.Write(*resolved.gptRefusal);
      return false;
    }
    FillEntryGuids(resolved, entry);
    entry.attributes = resolved.attributes;
    const SectorExtent lbas = GptEntryLbas(partition, i + 1 == partitions.size(), diskEnd);
    entry.firstLba = lbas.first;
    entry.lastLba = lbas.last;
    entry.name = WidenName(partition.name);
    header.dataLengths[i] = partition.payloadLength;
  }
  tables = EncodeGptTables(header, entries);
  return true;
}

// The backup array, then the backup header. With a known disk size they go
// to sectors diskEnd - 33 and diskEnd - 1, where the primary header points,
// whatever the payloads left the position at; with an open disk size they
// follow the end of the image.
void PlanBackupGpt(PlanBuilder& plan, size_t array, const GptTables& tables, uint64_t diskEnd,
                   const std::string& imagePath) {
  plan.Message("writing backup gpt...\r\n");
  if (diskEnd != kOpenDiskEnd) {
    plan.FillTo(*SectorPosition(diskEnd - kBackupSectors));
  } else {
    if (plan.Length() > kMaxImageLength - kBackupSectors * kSector) {
      plan.Fail({Beyond4GiBLine(imagePath)});
      return;
    }
    plan.SeekToEnd();
  }
  std::vector<uint8_t> backupHeader(kSector, 0);
  MakeBackupGptHeader(tables.header, std::span<uint8_t, kSectorSize>(backupHeader));
  plan.WriteBuffer(array);
  plan.WriteBuffer(plan.AddBuffer(std::move(backupHeader)));
}

// Every byte of the partition-table image in the order it is written.
ImagePlan PlanGptImage(const PackContext& context, std::vector<PartitionEntry>& partitions,
                       std::span<PartitionFiles> files, const GptTables& tables, uint64_t diskEnd,
                       const std::string& imagePath) {
  PlanBuilder plan;
  const SectorBytes mbr = EncodeProtectiveMbr(ProtectiveMbr{});
  plan.Message("writing mbr...\r\n");
  plan.WriteBuffer(plan.AddBuffer({mbr.begin(), mbr.end()}));
  plan.Message("writing gpt...\r\n");
  plan.WriteBuffer(plan.AddBuffer({tables.header.begin(), tables.header.end()}));
  const size_t array = plan.AddBuffer(tables.array);
  plan.WriteBuffer(array);
  PlanPartitionSteps(plan, context, partitions, files);
  const bool writeBackup = context.options.backup && !context.options.IsCompact();
  if (!plan.Failed() && writeBackup) PlanBackupGpt(plan, array, tables, diskEnd, imagePath);
  return plan.Finish();
}

// The checks of the partition list that refuse a layout before anything is
// written.
bool CheckGptPartitions(const ResolvedConfig& config, const PackContext& context,
                        const GptLayout& layout, const std::vector<PartitionEntry>& partitions,
                        const std::string& imagePath) {
  Output& out = context.out;
  return CheckGptPartitionCount(partitions, out) && CheckPartitionNumbers(config.partitions, out) &&
         CheckGptLayout(layout, imagePath, out);
}

}  // namespace

bool PlanGptFirmware(const ResolvedConfig& config, const PackContext& context,
                     const std::string& imagePath, GptFirmwarePlan& planned) {
  PackInput input;
  std::vector<PartitionEntry>& partitions = planned.partitions;
  const bool read = ReadPackInput(config, context, input);
  const GptLayout layout = GptLayoutOf(config, input);
  partitions = std::move(input.partitions);
  if (!read) return false;  // the partitions as far as they were read
  PlaceAsLayout(layout, partitions);
  planned.diskEnd = GptDiskEnd(layout);
  if (!CheckGptPartitions(config, context, layout, partitions, imagePath)) return false;
  GptTables tables;
  if (!BuildGptTables(config, layout, planned.diskEnd, tables, context.out)) return false;
  planned.plan = PlanGptImage(context, partitions, input.files, tables, planned.diskEnd, imagePath);
  return true;
}

}  // namespace imgweld
