#pragma once

#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/Output.h"
#include "config/ConfigDocument.h"
#include "image/FirmwareImage.h"
#include "image/GptRecords.h"
#include "pack/PackOptions.h"

// A configuration is read once, by ResolveConfiguration, into the value every
// planner takes: `-P`, the configuration listing and the rebuild checks see
// the same switches, time, identity, numbers and GUIDs, so that what one of
// them accepts the others accept alike.
//
// Resolving reads nothing but the document and the moment, and prints only
// a refusal of the moment. A refusal the configuration holds elsewhere is
// kept in the value with its line and printed by the step whose turn it is
// in a pack run (reading the list, checking the numbers, building the GPT),
// so a run reports its faults in the order it meets them.

namespace imgweld {

// Key text of the `PARTITION_TYPE_GUID` section -> GUID text, matched byte
// for byte: a partition's `Type_Guid` must name the key in its written case.
using GuidMap = std::map<std::string, std::string>;

// One "UserPart%d" section, every number converted and range-checked.
struct ResolvedPartition {
  std::string section;   // the section's name as written
  std::string nameText;  // Name as written; `entry` keeps 31 characters
  bool hasFileKey = false;
  // Name, Type, Flag, PartOffset, PartSize, the Type_Guid key and the File
  // text; the payload is measured when the list is read.
  PartitionEntry entry;
  // The partition the image cannot hold whatever its files: a Type_Guid
  // text too long for its field, a boot block flagged to be skipped or
  // filled. Printed when the list is read, at this partition.
  std::optional<std::string> readRefusal;
  // The first of Type, Flag, PartOffset and PartSize whose number does not
  // fit 32 bits; printed once the whole list is read.
  std::optional<std::string> numberRefusal;
  // The partition-table entry: the type GUID its Type_Guid names in the
  // PARTITION_TYPE_GUID section (none: drawn), the Unique_Guid (none:
  // drawn) and the Attributes. `gptRefusal`: the first of those texts that
  // is no such value, printed when the GPT is built.
  std::optional<Guid> typeGuid;
  std::optional<Guid> uniqueGuid;
  uint64_t attributes = 0;
  std::optional<std::string> gptRefusal;
};

// The whole configuration as a pack run uses it.
struct ResolvedConfig {
  PackOptions options;
  std::tm packTime{};  // the time stamped into the tagged header
  GuidMap guids;       // the PARTITION_TYPE_GUID section, or the map a caller gave
  // Tagged image: version, chip and model; `identityRefusal` is the line
  // printed instead once the image is opened, when they cannot be read.
  FirmwareHeader identity;
  std::optional<std::string> identityRefusal;
  std::optional<Guid> diskGuid;  // [System] Disk_Guid; none: drawn
  std::optional<std::string> diskGuidRefusal;
  std::vector<ResolvedPartition> partitions;  // up to the first missing section number
  // Lines a run of the partition-table form prints on standard output before
  // it reads the list: the missing PARTITION_TYPE_GUID section.
  std::string warningLines;
  // The diagnostics about likely mistakes (WarnAboutConfiguration), for
  // standard error, and the first of them, which a strict run refuses.
  std::string diagnostics;
  std::optional<std::string> firstWarning;
};

// When the image is stamped: the configuration's Date key, else `fallback`
// when given, else SOURCE_DATE_EPOCH (null: unset) or the clock at `now`.
struct PackMoment {
  const std::tm* fallback = nullptr;
  const char* sourceDateEpoch = nullptr;
  std::time_t now = 0;
};

struct ResolveRequest {
  std::string configPath;  // as the diagnostics name it
  std::string configDir;   // where relative File names resolve; empty: the working directory
  // None: the caller stamps its own time, and the Date key is not read.
  std::optional<PackMoment> moment;
  // The type GUIDs to use instead of the document's section; null: the section.
  const GuidMap* typeGuids = nullptr;
};

// Resolves `document` into `config`. False when the moment is refused, its
// "Packing Error:" line printed to `out`; the options and diagnostics are
// resolved by then. Nothing else is printed.
bool ResolveConfiguration(const ConfigDocument& document, const ResolveRequest& request,
                          ResolvedConfig& config, Output& out);

// The partition sections of `document` with the type GUIDs of `guids`.
std::vector<ResolvedPartition> ResolvePartitions(const ConfigDocument& document,
                                                 const GuidMap& guids);

}  // namespace imgweld
