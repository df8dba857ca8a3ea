#include "pack/ResolvedConfig.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "config/ConfigKeys.h"
#include "pack/ConfigWarnings.h"
#include "pack/PackContext.h"
#include "pack/PackTime.h"
#include "pack/PartitionList.h"

namespace imgweld {
namespace {

const char kMissingTypeGuidsLine[] =
    "Packing GPT:failed to get guid of partition type, check section PARTITION_TYPE_GUID in the "
    "config!\r\n";

std::string NotAGuidLine(std::string_view key, std::string_view section) {
  return Format(
      "Packing Error:%.*s in section %.*s is not a GUID of the form "
      "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX!\r\n",
      static_cast<int>(key.size()), key.data(), static_cast<int>(section.size()), section.data());
}

// A GUID the configuration sets, or its refusal when the text is no GUID.
void ParseGuid(const std::string& text, std::string_view key, std::string_view section,
               std::optional<Guid>& guid, std::optional<std::string>& refusal) {
  if (refusal) return;
  Guid parsed{};
  if (ParseGuidText(text, parsed)) {
    guid = parsed;
  } else {
    refusal = NotAGuidLine(key, section);
  }
}

// The same for a key whose empty text means a GUID drawn at random.
void ResolveGuid(const std::string& text, std::string_view key, std::string_view section,
                 std::optional<Guid>& guid, std::optional<std::string>& refusal) {
  if (!text.empty()) ParseGuid(text, key, section, guid, refusal);
}

// The identity fields in the order the run reads them; the first that
// cannot be read names the refusal.
void ResolveIdentity(const ConfigDocument& document, ResolvedConfig& config) {
  if (!ReadFwVersion(document, config.identity)) {
    config.identityRefusal = "Packing Error:Getting FwVersion failed!\r\n";
  } else if (!ReadChip(document, config.identity)) {
    config.identityRefusal = "Packing Error:Getting chip failed!\r\n";
  } else if (!ReadModel(document, config.identity)) {
    config.identityRefusal = "Packing Error:Getting model failed!\r\n";
  }
}

// Converts one number of the partition; the first that does not fit 32
// bits before it is cut names the refusal. A negative text fits: -1 is kept
// as 0xFFFFFFFF on purpose.
uint32_t ResolveNumber(const ConfigSection& section, std::string_view key,
                       ResolvedPartition& partition) {
  const std::string text = section.GetValue(key);
  if (!partition.numberRefusal && !ConfigNumberFits32(text)) {
    partition.numberRefusal =
        Format("Packing Error:%.*s=%s of partition %s does not fit 32 bits!\r\n",
               static_cast<int>(key.size()), key.data(), text.c_str(), partition.nameText.c_str());
  }
  return ParseConfigNumber(text);
}

void ResolveTypeGuidKey(const ConfigSection& section, ResolvedPartition& partition) {
  PartitionEntry& entry = partition.entry;
  const std::string text = section.GetValue(key::kTypeGuid);
  if (text.empty()) return;
  // The field keeps the text with its terminator.
  if (text.size() >= entry.typeGuid.size()) {
    partition.readRefusal =
        Format("Packing Error:Type_Guid of partition %s is longer than 63 characters!\r\n",
               entry.Name().c_str());
    return;
  }
  std::memcpy(entry.typeGuid.data(), text.data(), text.size());
}

// The partition-table entry's GUIDs and attributes. `number`: the section's
// number, which the messages name as "UserPart<number>".
void ResolveGptEntry(const ConfigSection& section, size_t number, const GuidMap& guids,
                     ResolvedPartition& partition) {
  const std::string name = PartitionSectionName(number);
  const auto* key = reinterpret_cast<const char*>(partition.entry.typeGuid.data());
  const std::string typeKey(key, strnlen(key, partition.entry.typeGuid.size()));
  const auto found = typeKey.empty() ? guids.end() : guids.find(typeKey);
  if (found != guids.end()) {
    ParseGuid(found->second, found->first, key::kTypeGuidSection, partition.typeGuid,
              partition.gptRefusal);
  }
  ResolveGuid(section.GetValue(key::kUniqueGuid), key::kUniqueGuid, name, partition.uniqueGuid,
              partition.gptRefusal);
  const std::string attributes = section.GetValue(key::kAttributes);
  const std::optional<uint64_t> value = ParseAttributes(attributes);
  if (value) {
    partition.attributes = *value;
  } else if (!partition.gptRefusal) {
    partition.gptRefusal =
        Format("Packing Error:%.*s=%s in section %s is not a number of at most 64 bits!\r\n",
               static_cast<int>(key::kAttributes.size()), key::kAttributes.data(),
               attributes.c_str(), name.c_str());
  }
}

ResolvedPartition ResolvePartition(const ConfigSection& section, size_t number,
                                   const GuidMap& guids) {
  ResolvedPartition partition;
  PartitionEntry& entry = partition.entry;
  partition.section = section.Name();
  partition.nameText = section.GetValue(key::kName);
  partition.hasFileKey = section.FindEntry(key::kFile) != nullptr;
  entry.SetName(partition.nameText);
  entry.offset = ResolveNumber(section, key::kPartOffset, partition);
  entry.size = ResolveNumber(section, key::kPartSize, partition);
  entry.type = ResolveNumber(section, key::kType, partition);
  entry.flag = ResolveNumber(section, key::kFlag, partition);
  ResolveTypeGuidKey(section, partition);
  if ((entry.flag & (PART_FLAG_SKIP | PART_FLAG_FILL)) != 0) {
    // The boot block has to be built from its two files.
    if (entry.type == PART_TYPE_IDBLOCK && !partition.readRefusal) {
      partition.readRefusal =
          Format("Packing Error:idblock partition %s must not be skipped or filled, flag=%x!\r\n",
                 entry.Name().c_str(), entry.flag);
    }
  } else {
    entry.sourceFile = section.GetValue(key::kFile);
  }
  ResolveGptEntry(section, number, guids, partition);
  return partition;
}

// SOURCE_DATE_EPOCH, the clock or a given time, unless the Date key names one.
bool ResolveMoment(const ConfigDocument& document, const PackMoment& moment, ResolvedConfig& config,
                   Output& out) {
  std::optional<std::tm> dated;
  if (!ReadDateKey(document, dated, out)) return false;
  if (dated) {
    config.packTime = *dated;
  } else if (moment.fallback != nullptr) {
    config.packTime = *moment.fallback;
  } else {
    return ResolvePackTime(moment.sourceDateEpoch, moment.now, config.packTime, out);
  }
  return true;
}

}  // namespace

std::vector<ResolvedPartition> ResolvePartitions(const ConfigDocument& document,
                                                 const GuidMap& guids) {
  std::vector<ResolvedPartition> partitions;
  for (size_t number = 1; number <= kMaxPartitionSections; ++number) {
    const ConfigSection* section = document.FindSection(PartitionSectionName(number));
    if (section == nullptr) break;
    partitions.push_back(ResolvePartition(*section, number, guids));
  }
  return partitions;
}

bool ResolveConfiguration(const ConfigDocument& document, const ResolveRequest& request,
                          ResolvedConfig& config, Output& out) {
  config = ResolvedConfig{};
  config.options = ResolvePackOptions(document, request.configDir);
  StringOutput warned;
  config.firstWarning =
      WarnAboutConfiguration(document, config.options, request.configPath, warned);
  config.diagnostics = warned.Diagnostics();
  if (request.moment && !ResolveMoment(document, *request.moment, config, out)) return false;

  const bool haveSection = ReadPartitionTypeGuids(document, config.guids);
  if (request.typeGuids != nullptr) config.guids = *request.typeGuids;
  if (config.options.IsGpt() && !haveSection) config.warningLines = kMissingTypeGuidsLine;
  if (!config.options.IsGpt()) ResolveIdentity(document, config);
  ResolveGuid(document.GetValue(key::kSystem, key::kDiskGuid), key::kDiskGuid, key::kSystem,
              config.diskGuid, config.diskGuidRefusal);
  config.partitions = ResolvePartitions(document, config.guids);
  return true;
}

}  // namespace imgweld
