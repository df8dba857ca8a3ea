#include "pack/GptWriter.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "config/ConfigKeys.h"
#include "image/BootBlock.h"
#include "image/GptRecords.h"
#include "pack/IdBlock.h"
#include "pack/ImagePlan.h"
#include "pack/LayoutChecks.h"
#include "pack/PartitionList.h"
#include "pack/PayloadPlan.h"

namespace imgweld {
namespace {

constexpr uint64_t kSector = kSectorSize;
// Backup array and backup header at the end of the disk.
constexpr uint64_t kBackupSectors = kGptBackupSectors;

bool Grows(const PartitionEntry& entry) { return (entry.flag & PART_FLAG_GROW) != 0; }

// The `Type_Guid` text kept in the record.
std::string TypeGuidKey(const PartitionEntry& entry) {
  const auto* text = reinterpret_cast<const char*>(entry.typeGuid.data());
  return std::string(text, strnlen(text, entry.typeGuid.size()));
}

// The boot block is written at sector 64 at the lowest; its entry says so
// too, so that the table and the data agree.
void RaiseIdBlockOffsets(std::vector<PartitionEntry>& partitions) {
  for (PartitionEntry& entry : partitions) {
    if (entry.type == PART_TYPE_IDBLOCK) entry.offset = std::max(entry.offset, kBootMinOffset);
  }
}

// Bytes 0 to 15 and 16 to 31 of an entry: a configured type GUID and a
// random unique GUID, or two random GUIDs, unique first.
bool FillEntryGuids(const PartitionEntry& partition, const GuidMap& guids, GptEntry& entry,
                    Output& out) {
  const std::string key = TypeGuidKey(partition);
  const auto found = key.empty() ? guids.end() : guids.find(key);
  if (found == guids.end()) {
    RandomGuid(entry.uniqueGuid);
    RandomGuid(entry.typeGuid);
    return true;
  }
  if (!ParseGuidText(found->second, entry.typeGuid)) {
    out.Printf(
        "Packing Error:%s in section %.*s is not a GUID of the form "
        "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX!\r\n",
        found->first.c_str(), static_cast<int>(key::kTypeGuidSection.size()),
        key::kTypeGuidSection.data());
    return false;
  }
  RandomGuid(entry.uniqueGuid);
  return true;
}

// A GUID set in the configuration replaces the one drawn for its place; the
// draw still happens, so every other GUID stays what it would have been.
bool ApplyConfiguredGuid(const std::string& text, std::string_view key, std::string_view section,
                         Guid& guid, Output& out) {
  if (text.empty()) return true;
  if (ParseGuidText(text, guid)) return true;
  out.Printf(
      "Packing Error:%.*s in section %.*s is not a GUID of the form "
      "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX!\r\n",
      static_cast<int>(key.size()), key.data(), static_cast<int>(section.size()), section.data());
  return false;
}

// Primary header and partition array, both with their checksums. The disk
// GUID is drawn first, then each partition's GUIDs in list order.
bool BuildGptTables(const PackInput& input, const std::vector<PartitionEntry>& partitions,
                    const GuidMap& guids, bool compact, bool backup, uint64_t diskEnd,
                    GptTables& tables, Output& out) {
  GptHeader header;
  header.backupLba = diskEnd - 1;
  header.lastUsableLba = diskEnd - kGptFirstUsableLba;
  RandomGuid(header.diskGuid);
  if (!ApplyConfiguredGuid(input.diskGuid, key::kDiskGuid, key::kSystem, header.diskGuid, out)) {
    return false;
  }
  header.layoutMarker = compact ? kGptCompactMarker : kGptPaddedMarker;
  header.backupEnabled = backup ? 1 : 0;
  header.partitionCount = static_cast<uint16_t>(partitions.size());

  std::vector<GptEntry> entries(partitions.size());
  for (size_t i = 0; i < partitions.size(); ++i) {
    const PartitionEntry& partition = partitions[i];
    GptEntry& entry = entries[i];
    const std::string section = PartitionSectionName(i + 1);
    if (!FillEntryGuids(partition, guids, entry, out) ||
        !ApplyConfiguredGuid(input.texts[i].uniqueGuid, key::kUniqueGuid, section, entry.uniqueGuid,
                             out)) {
      return false;
    }
    const std::optional<uint64_t> attributes = ParseAttributes(input.texts[i].attributes);
    if (!attributes) {
      out.Printf("Packing Error:%.*s=%s in section %s is not a number of at most 64 bits!\r\n",
                 static_cast<int>(key::kAttributes.size()), key::kAttributes.data(),
                 input.texts[i].attributes.c_str(), section.c_str());
      return false;
    }
    entry.attributes = *attributes;
    entry.firstLba = partition.offset;
    entry.lastLba = uint64_t{partition.offset} + partition.size - 1;
    if (i + 1 == partitions.size() && Grows(partition)) entry.lastLba = header.lastUsableLba;
    entry.name = WidenName(partition.Name());
    header.dataLengths[i] = partition.dataLength;
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
bool CheckGptPartitions(const PackInput& input, const PackContext& context,
                        const std::vector<PartitionEntry>& partitions, uint64_t diskEnd,
                        const std::string& imagePath) {
  Output& out = context.out;
  return CheckGptPartitionCount(partitions, out) && CheckPartitionNumbers(input.texts, out) &&
         CheckGptLayout(partitions, context.options, diskEnd, imagePath, out);
}

}  // namespace

uint64_t ComputeDiskEnd(std::span<const PartitionEntry> partitions, bool compact) {
  if (compact || partitions.empty() || Grows(partitions.back())) return kOpenDiskEnd;
  const PartitionEntry& last = partitions.back();
  return uint64_t{last.offset} + last.size + kBackupSectors;
}

bool PlanGptFirmware(PackInput& input, const PackContext& context, const GuidMap& guids,
                     const std::string& imagePath, GptFirmwarePlan& planned) {
  std::vector<PartitionEntry>& partitions = planned.partitions;
  partitions = std::move(input.partitions);
  RaiseIdBlockOffsets(partitions);
  const bool compact = context.options.IsCompact();
  planned.diskEnd = ComputeDiskEnd(partitions, compact);
  if (!CheckGptPartitions(input, context, partitions, planned.diskEnd, imagePath)) return false;
  GptTables tables;
  if (!BuildGptTables(input, partitions, guids, compact, context.options.backup, planned.diskEnd,
                      tables, context.out)) {
    return false;
  }
  planned.plan = PlanGptImage(context, partitions, input.files, tables, planned.diskEnd, imagePath);
  return true;
}

}  // namespace imgweld
