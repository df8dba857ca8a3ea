#include "pack/GptWriter.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "common/File.h"
#include "image/BootBlock.h"
#include "image/Checksums.h"
#include "image/GptRecords.h"
#include "pack/IdBlock.h"
#include "pack/ImagePlan.h"
#include "pack/ImageWriter.h"
#include "pack/LayoutChecks.h"
#include "pack/PackOutput.h"
#include "pack/PartitionList.h"
#include "pack/PayloadPlan.h"

namespace imgweld {
namespace {

constexpr uint64_t kSector = kSectorSize;
// Backup array and backup header at the end of the disk.
constexpr uint64_t kBackupSectors = kGptArraySectors + 1;
constexpr uint64_t kMaxImageLength = 0xFFFFFFFFu;

struct GptTables {
  SectorBytes header{};
  std::vector<uint8_t> array = std::vector<uint8_t>(kGptArraySize, 0);
};

bool Grows(const PartitionEntry& entry) { return (entry.flag & PART_FLAG_GROW) != 0; }

// Partitions whose payload file is copied into the image.
bool HasPayloadFile(const PartitionEntry& entry) {
  return entry.type != PART_TYPE_IDBLOCK && (entry.flag & (PART_FLAG_SKIP | PART_FLAG_FILL)) == 0;
}

// The `Type_Guid` text kept in the record.
std::string TypeGuidKey(const PartitionEntry& entry) {
  const auto* text = reinterpret_cast<const char*>(entry.typeGuid.data());
  return std::string(text, strnlen(text, entry.typeGuid.size()));
}

void ReportBeyond4GiB(const std::string& imagePath, Output& out) {
  out.Printf("Packing Error:%s does not fit below 4 GiB!\r\n", imagePath.c_str());
}

// The boot block is written at sector 64 at the lowest; its entry says so
// too, so that the table and the data agree.
void RaiseIdBlockOffsets(std::vector<PartitionEntry>& partitions) {
  for (PartitionEntry& entry : partitions) {
    if (entry.type == PART_TYPE_IDBLOCK) entry.offset = std::max(entry.offset, kBootMinOffset);
  }
}

bool CheckPartitionCount(const std::vector<PartitionEntry>& partitions, Output& out) {
  if (partitions.size() <= kMaxGptPartitions) return true;
  out.Printf("Packing Error:too many partitions, %zu found, the GPT header holds at most %zu!\r\n",
             partitions.size(), kMaxGptPartitions);
  return false;
}

// End sector (exclusive) of everything the padded layout writes for the
// partition or the table claims for it: a growing payload may reach past
// its configured size.
uint64_t PaddedExtentEnd(const PartitionEntry& entry) {
  uint64_t end = uint64_t{entry.offset} + entry.size;
  if (HasPayloadFile(entry) && Grows(entry)) {
    end = std::max(end, uint64_t{entry.offset} + (entry.dataLength + kSector - 1) / kSector);
  }
  return end;
}

// The backup array and header go where the primary header says they are,
// at sectors diskEnd - 33 and diskEnd - 1; nothing of a partition may lie
// there, and the whole image has to stay below 4 GiB.
bool CheckRoomForBackup(const std::vector<PartitionEntry>& partitions, uint64_t diskEnd,
                        const std::string& imagePath, Output& out) {
  const uint64_t backupStart = diskEnd - kBackupSectors;
  for (const PartitionEntry& entry : partitions) {
    if (PaddedExtentEnd(entry) > backupStart) {
      out.Printf(
          "Packing Error:partition %s ends past sector %llx, the last one before the backup "
          "GPT!\r\n",
          entry.Name().c_str(), static_cast<unsigned long long>(backupStart - 1));
      return false;
    }
  }
  if (!SectorPosition(diskEnd)) {
    ReportBeyond4GiB(imagePath, out);
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
      ReportBeyond4GiB(imagePath, out);
      return false;
    }
  }
  return true;
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
        "Packing Error:%s in section PARTITION_TYPE_GUID is not a GUID of the form "
        "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX!\r\n",
        found->first.c_str());
    return false;
  }
  RandomGuid(entry.uniqueGuid);
  return true;
}

// A GUID set in the configuration replaces the one drawn for its place; the
// draw still happens, so every other GUID stays what it would have been.
bool ApplyConfiguredGuid(const std::string& text, const std::string& key,
                         const std::string& section, Guid& guid, Output& out) {
  if (text.empty()) return true;
  if (ParseGuidText(text, guid)) return true;
  out.Printf(
      "Packing Error:%s in section %s is not a GUID of the form "
      "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX!\r\n",
      key.c_str(), section.c_str());
  return false;
}

// Primary header and partition array, both with their checksums. The disk
// GUID is drawn first, then each partition's GUIDs in list order.
bool BuildGptTables(const ConfigDocument& document, const std::vector<PartitionEntry>& partitions,
                    const GuidMap& guids, bool compact, bool backup, uint64_t diskEnd,
                    GptTables& tables, Output& out) {
  GptHeader header;
  header.backupLba = diskEnd - 1;
  header.lastUsableLba = diskEnd - kGptFirstUsableLba;
  RandomGuid(header.diskGuid);
  if (!ApplyConfiguredGuid(document.GetValue("System", "Disk_Guid"), "Disk_Guid", "System",
                           header.diskGuid, out)) {
    return false;
  }
  header.layoutMarker = compact ? kGptCompactMarker : kGptPaddedMarker;
  header.backupEnabled = backup ? 1 : 0;
  header.partitionCount = static_cast<uint16_t>(partitions.size());

  for (size_t i = 0; i < partitions.size(); ++i) {
    const PartitionEntry& partition = partitions[i];
    GptEntry entry;
    const std::string section = PartitionSectionName(i + 1);
    if (!FillEntryGuids(partition, guids, entry, out) ||
        !ApplyConfiguredGuid(document.GetValue(section, "Unique_Guid"), "Unique_Guid", section,
                             entry.uniqueGuid, out)) {
      return false;
    }
    entry.firstLba = partition.offset;
    entry.lastLba = uint64_t{partition.offset} + partition.size - 1;
    if (i + 1 == partitions.size() && Grows(partition)) entry.lastLba = header.lastUsableLba;
    entry.name = WidenName(partition.Name());
    const GptEntryBytes bytes = EncodeGptEntry(entry);
    std::copy(bytes.begin(), bytes.end(),
              tables.array.begin() + static_cast<std::ptrdiff_t>(i * kGptEntrySize));
    header.dataLengths[i] = partition.dataLength;
  }

  header.arrayCrc = Crc32(tables.array, 0);
  tables.header = EncodeGptHeader(header);
  SealGptHeader(tables.header);
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
      StringOutput message;
      ReportBeyond4GiB(imagePath, message);
      plan.Fail(message.Text());
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
                       const GptTables& tables, uint64_t diskEnd, const std::string& imagePath) {
  PlanBuilder plan;
  const SectorBytes mbr = EncodeProtectiveMbr(ProtectiveMbr{});
  plan.Message("writing mbr...\r\n");
  plan.WriteBuffer(plan.AddBuffer({mbr.begin(), mbr.end()}));
  plan.Message("writing gpt...\r\n");
  plan.WriteBuffer(plan.AddBuffer({tables.header.begin(), tables.header.end()}));
  const size_t array = plan.AddBuffer(tables.array);
  plan.WriteBuffer(array);
  PlanPartitionSteps(plan, context, partitions);
  const bool writeBackup = context.options.backup && !context.options.IsCompact();
  if (!plan.Failed() && writeBackup) PlanBackupGpt(plan, array, tables, diskEnd, imagePath);
  return plan.Finish();
}

// The checks of the partition list that refuse a layout before anything is
// written.
bool CheckGptPartitions(const ConfigDocument& document, const PackContext& context,
                        std::vector<PartitionEntry>& partitions, uint64_t diskEnd,
                        const std::string& imagePath) {
  Output& out = context.out;
  if (!CheckPartitionCount(partitions, out) ||
      !CheckPartitionNumbers(document, partitions.size(), out) || !CheckGptSizes(partitions, out) ||
      !CheckOverlaps(partitions, context.options.form, out)) {
    return false;
  }
  if (context.options.IsCompact()) return CheckCompactLayout(partitions, imagePath, out);
  if (context.options.backup && diskEnd != kOpenDiskEnd) {
    return CheckRoomForBackup(partitions, diskEnd, imagePath, out);
  }
  return true;
}

}  // namespace

bool ReadPartitionTypeGuids(const ConfigDocument& document, GuidMap& guids) {
  guids.clear();
  const ConfigSection* section = document.FindSection("PARTITION_TYPE_GUID");
  if (section == nullptr) return false;
  for (const auto& [name, entry] : section->Entries()) guids[entry->Name()] = entry->Value();
  return true;
}

GuidMap LoadPartitionTypeGuids(const ConfigDocument& document, Output& out) {
  GuidMap guids;
  if (!ReadPartitionTypeGuids(document, guids)) {
    out.Line(
        "Packing GPT:failed to get guid of partition type, check section "
        "PARTITION_TYPE_GUID in the config!\r");
  }
  return guids;
}

uint64_t ComputeDiskEnd(std::span<const PartitionEntry> partitions, bool compact) {
  if (compact || partitions.empty() || Grows(partitions.back())) return kOpenDiskEnd;
  const PartitionEntry& last = partitions.back();
  return uint64_t{last.offset} + last.size + kBackupSectors;
}

bool PlanGptFirmware(const ConfigDocument& document, const PackContext& context,
                     const GuidMap& guids, const std::string& imagePath, GptFirmwarePlan& planned) {
  std::vector<PartitionEntry>& partitions = planned.partitions;
  if (!ReadPartitionList(document, context, partitions)) return false;
  RaiseIdBlockOffsets(partitions);
  const bool compact = context.options.IsCompact();
  planned.diskEnd = ComputeDiskEnd(partitions, compact);
  if (!CheckGptPartitions(document, context, partitions, planned.diskEnd, imagePath)) return false;
  GptTables tables;
  if (!BuildGptTables(document, partitions, guids, compact, context.options.backup, planned.diskEnd,
                      tables, context.out)) {
    return false;
  }
  planned.plan = PlanGptImage(context, partitions, tables, planned.diskEnd, imagePath);
  return true;
}

bool WriteGptFirmware(const ConfigDocument& document, const PackContext& context,
                      SavingDirectory& dir) {
  Output& out = context.out;
  const GuidMap guids = LoadPartitionTypeGuids(document, out);
  const bool compact = context.options.IsCompact();
  const bool backup = context.options.backup;
  out.Printf("Compact=%d,Backup=%d\r\n", compact ? 1 : 0, backup ? 1 : 0);

  AtomicFile file;
  if (!dir.Create(file, kImageFileName, "Packing Error:Opening %s failed, err=%d!\r\n", out)) {
    return false;
  }
  const std::string& imagePath = file.Path();
  GptFirmwarePlan planned;
  if (!PlanGptFirmware(document, context, guids, imagePath, planned)) return false;
  ImagePlan& plan = planned.plan;
  ImageWriter image(file.Stream(), imagePath, context.options.fillByte, out);
  // The same commit as the tagged image's pair, with the image alone.
  AtomicFile* const files[] = {&file};
  if (!WritePlannedImage(plan, image, out) || !CommitPackOutputs(files, out)) return false;
  out.Line("Generating GPT firmware OK.\r");
  return true;
}

}  // namespace imgweld
