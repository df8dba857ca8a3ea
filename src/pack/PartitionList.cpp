#include "pack/PartitionList.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/File.h"
#include "pack/IdBlock.h"
#include "pack/ImageWriter.h"

namespace imgweld {
namespace {

uint32_t VersionPiece(const std::string& text) {
  return static_cast<uint32_t>(ParseVersionPiece(text));
}

template <size_t N>
void CopyText(std::array<uint8_t, N>& field, const std::string& text) {
  field.fill(0);
  std::memcpy(field.data(), text.data(), std::min(text.size(), N));
}

// The boot block never starts below sector 64, so its area is judged from there.
uint32_t EffectiveOffset(const PartitionEntry& entry) {
  if (entry.type == PART_TYPE_IDBLOCK) return std::max(entry.offset, kBootMinOffset);
  return entry.offset;
}

// Whether every byte position the writers will compute for this partition
// is a 32-bit value: where its area starts and ends, or, for a growing
// payload, where the payload ends.
bool FitsBelow4GiB(const PartitionEntry& entry) {
  if ((entry.flag & PART_FLAG_FILL) == 0 && (entry.flag & PART_FLAG_SKIP) != 0 &&
      entry.type != PART_TYPE_IDBLOCK) {
    return true;  // nothing is written for it
  }
  const uint64_t offset = EffectiveOffset(entry);
  const std::optional<uint32_t> start = SectorPosition(offset);
  if (!start) return false;
  if (entry.type != PART_TYPE_IDBLOCK && (entry.flag & PART_FLAG_FILL) == 0 &&
      (entry.flag & PART_FLAG_GROW) != 0) {
    return entry.dataLength <= kMaxImageLength - *start;
  }
  return SectorPosition(offset + entry.size).has_value();
}

// The error line names no partition; this line says which one, which
// file and why it could not be measured.
void ExplainUnmeasuredPayload(const ResolvedPartition& partition, const File& payload,
                              Output& out) {
  const std::string where = "[" + partition.section + "]";
  const PartitionEntry& entry = partition.entry;
  const std::string name = "partition " + entry.Name();
  if (!partition.hasFileKey) {
    out.Note(where, name + " has no File key");
  } else {
    out.Note(where + " File=" + entry.sourceFile, name + ": " + payload.FailureText());
  }
}

// Measures the payload of one resolved partition into `entry`. False, with
// the message printed, when the partition is refused.
bool ReadPartition(const PackContext& context, const ResolvedPartition& partition,
                   PartitionEntry& entry, PartitionFiles& files) {
  if (partition.readRefusal) {
    context.out.Write(*partition.readRefusal);
    return false;
  }
  entry = partition.entry;
  if ((entry.flag & (PART_FLAG_SKIP | PART_FLAG_FILL)) != 0) {
    entry.dataLength = 0;
  } else if (entry.type == PART_TYPE_IDBLOCK) {
    // A failure has printed its message; the boot block writer meets it
    // again and stops the run there.
    entry.dataLength = GetIdBlockSize(context, entry, files.programs);
  } else {
    File& payload = files.payload;
    entry.dataLength =
        context.OpenInput(entry.sourceFile, payload) ? GetStreamLength(&payload) : kNoLength;
    if (entry.dataLength == kNoLength) {
      context.out.Line("Packing Error:Getting UserPart failed!\r");
      ExplainUnmeasuredPayload(partition, payload, context.out);
      return false;
    }
  }
  if (!FitsBelow4GiB(entry)) {
    context.out.Printf("Packing Error:partition %s does not fit below 4 GiB!\r\n",
                       entry.Name().c_str());
    return false;
  }
  return true;
}

}  // namespace

bool ReadFwVersion(const ConfigDocument& document, FirmwareHeader& header) {
  const ConfigSection* system = document.FindSection(key::kSystem);
  if (system == nullptr) return false;
  const std::vector<std::string> pieces = SplitText(system->GetValue(key::kFwVersion), ".");
  if (pieces.empty()) return false;
  // Pieces are not masked: one out of its range spills into its neighbour.
  uint32_t version = VersionPiece(pieces[0]) << 24;
  if (pieces.size() >= 2) version |= VersionPiece(pieces[1]) << 16;
  if (pieces.size() >= 3) version |= VersionPiece(pieces[2]);
  header.version = version;
  return true;
}

bool ReadChip(const ConfigDocument& document, FirmwareHeader& header) {
  const ConfigSection* system = document.FindSection(key::kSystem);
  if (system == nullptr) return false;
  CopyText(header.chip, system->GetValue(key::kChip));
  return true;
}

bool ReadModel(const ConfigDocument& document, FirmwareHeader& header) {
  const ConfigSection* system = document.FindSection(key::kSystem);
  if (system == nullptr) return false;
  CopyText(header.model, system->GetValue(key::kModel));
  return true;
}

namespace {

bool ReadPartitions(std::span<const ResolvedPartition> resolved, const PackContext& context,
                    PackInput& input) {
  input.partitions.clear();
  input.files.clear();
  for (const ResolvedPartition& partition : resolved) {
    PartitionEntry entry;
    PartitionFiles files;
    if (!ReadPartition(context, partition, entry, files)) return false;
    context.ProgressOut().Printf("name=%s, offset=%x, size=%x, type=%x, flag=%x\r\n",
                                 entry.Name().c_str(), entry.offset, entry.size, entry.type,
                                 entry.flag);
    input.partitions.push_back(std::move(entry));
    input.files.push_back(std::move(files));
  }
  if (input.partitions.empty()) {
    context.out.Line("Packing Error:Getting UserPart failed!\r");
    return false;
  }
  return true;
}

}  // namespace

bool ReadPackInput(const ResolvedConfig& config, const PackContext& context, PackInput& input) {
  if (!config.options.IsGpt() && config.identityRefusal) {
    context.out.Write(*config.identityRefusal);
    return false;
  }
  return ReadPartitions(config.partitions, context, input);
}

bool ReadPartitionTypeGuids(const ConfigDocument& document, GuidMap& guids) {
  guids.clear();
  const ConfigSection* section = document.FindSection(key::kTypeGuidSection);
  if (section == nullptr) return false;
  for (const auto& [name, entry] : section->Entries()) guids[entry->Name()] = entry->Value();
  return true;
}

bool ReadPartitionList(const ConfigDocument& document, const PackContext& context,
                       std::vector<PartitionEntry>& partitions) {
  GuidMap guids;
  ReadPartitionTypeGuids(document, guids);
  PackInput input;
  const bool read = ReadPartitions(ResolvePartitions(document, guids), context, input);
  partitions = std::move(input.partitions);
  return read;
}

std::vector<std::string> SplitText(const std::string& text, const std::string& separator) {
  std::vector<std::string> pieces;
  if (separator.empty()) {
    if (!text.empty()) pieces.push_back(text);
    return pieces;
  }
  size_t start = 0;
  for (size_t found = text.find(separator); found != std::string::npos;
       found = text.find(separator, start)) {
    pieces.push_back(text.substr(start, found - start));
    start = found + separator.size();
  }
  if (start < text.size()) pieces.push_back(text.substr(start));
  return pieces;
}

uint64_t GetFileLength(const std::string& path) {
  File file;
  return MeasureInput(path, file);
}

uint64_t MeasureInput(const std::string& path, File& file) {
  if (!file.OpenInput(path)) return kNoLength;
  return GetStreamLength(&file);
}

}  // namespace imgweld
