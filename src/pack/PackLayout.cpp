#include "pack/PackLayout.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <string>

#include "image/BootBlock.h"
#include "image/HeaderTime.h"
#include "pack/IdBlock.h"

namespace imgweld {
namespace {

bool IsBootBlock(const PartitionEntry& entry) { return entry.type == PART_TYPE_IDBLOCK; }

// A fixed text field up to its first NUL, as the header and records keep
// text.
template <typename Field>
std::string FieldText(const Field& field) {
  const auto* text = reinterpret_cast<const char*>(field.data());
  return std::string(text, strnlen(text, field.size()));
}

TaggedDate DateOf(const std::tm& time) {
  return {static_cast<unsigned>(time.tm_year + 1900), static_cast<unsigned>(time.tm_mon + 1),
          static_cast<unsigned>(time.tm_mday),        static_cast<unsigned>(time.tm_hour),
          static_cast<unsigned>(time.tm_min),         static_cast<unsigned>(time.tm_sec)};
}

std::optional<long long> SecondsOf(const TaggedDate& date) {
  FirmwareHeader header;
  header.year = static_cast<uint16_t>(date.year);
  header.month = static_cast<uint8_t>(date.month);
  header.day = static_cast<uint8_t>(date.day);
  header.hour = static_cast<uint8_t>(date.hour);
  header.minute = static_cast<uint8_t>(date.minute);
  header.second = static_cast<uint8_t>(date.second);
  return HeaderTimeSeconds(header);
}

GptContent ContentOf(const PartitionEntry& entry) {
  if (IsBootBlock(entry)) return GptContent::kBootBlock;
  if ((entry.flag & PART_FLAG_FILL) != 0) return GptContent::kFilled;
  if ((entry.flag & PART_FLAG_SKIP) != 0) return GptContent::kSkipped;
  return GptContent::kPayload;
}

}  // namespace

std::vector<TaggedPartition> TaggedPartitionsOf(const std::vector<PartitionEntry>& partitions) {
  std::vector<TaggedPartition> layout;
  bool bootSeen = false;
  for (size_t i = 0; i < partitions.size(); ++i) {
    const PartitionEntry& e = partitions[i];
    TaggedPartitionKind kind = TaggedPartitionKind::kPartition;
    if (IsBootBlock(e)) {
      kind = bootSeen ? TaggedPartitionKind::kLaterBootBlock : TaggedPartitionKind::kBootBlock;
      bootSeen = true;
    }
    // Record 0 is the vendor's; the list's partitions follow it.
    layout.push_back({static_cast<uint32_t>(i + 1), kind, e.Name(), e.type, e.flag, e.offset,
                      e.size, e.dataLength, FieldText(e.typeGuid)});
  }
  return layout;
}

TaggedLayout TaggedLayoutOf(const ResolvedConfig& config, const PackInput& input) {
  const PackOptions& options = config.options;
  TaggedLayout layout;
  layout.version = config.identity.version;
  layout.chip = FieldText(config.identity.chip);
  layout.model = FieldText(config.identity.model);
  layout.date = DateOf(config.packTime);
  layout.seconds = SecondsOf(layout.date);
  layout.backup = options.backup;
  layout.fillByte = options.fillByte;
  layout.boot = {
      options.nano, options.blankGap, options.scramblePrograms, options.scrambleSectors, 0, 0};
  layout.partitions = TaggedPartitionsOf(input.partitions);
  return layout;
}

std::vector<GptLayoutPartition> GptPartitionsOf(const std::vector<PartitionEntry>& partitions,
                                                std::span<const ResolvedPartition> resolved) {
  std::vector<GptLayoutPartition> layout;
  for (size_t i = 0; i < partitions.size(); ++i) {
    const PartitionEntry& e = partitions[i];
    GptLayoutPartition p;
    p.entry = static_cast<uint32_t>(i);
    p.name = e.Name();
    p.type = e.type;
    p.flag = e.flag;
    p.offset = IsBootBlock(e) ? GptBootBlockOffset(e.offset) : e.offset;
    p.size = e.size;
    p.payloadLength = e.dataLength;
    p.content = ContentOf(e);
    p.measured = !IsBootBlock(e) || e.dataLength != kIdBlockFailed;
    if (i < resolved.size()) {
      p.typeGuid = resolved[i].typeGuid.value_or(Guid{});
      p.uniqueGuid = resolved[i].uniqueGuid.value_or(Guid{});
      p.attributes = resolved[i].attributes;
    }
    layout.push_back(std::move(p));
  }
  return layout;
}

GptLayout GptLayoutOf(const ResolvedConfig& config, const PackInput& input) {
  const PackOptions& options = config.options;
  GptLayout layout;
  layout.compact = options.IsCompact();
  layout.backup = options.backup;
  layout.fillByte = options.fillByte;
  if (std::any_of(input.partitions.begin(), input.partitions.end(), IsBootBlock)) {
    layout.boot = GptBootSettings{options.nano, options.blankGap, options.scramblePrograms,
                                  options.scrambleSectors};
  }
  layout.diskGuid = config.diskGuid.value_or(Guid{});
  layout.partitions = GptPartitionsOf(input.partitions, config.partitions);
  return layout;
}

}  // namespace imgweld
