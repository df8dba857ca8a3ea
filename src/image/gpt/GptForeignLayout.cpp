#include <algorithm>

#include "common/Output.h"
#include "image/FirmwareImage.h"
#include "image/GptRecords.h"
#include "image/gpt/GptLayout.h"

namespace imgweld {
namespace {

constexpr uint64_t kSector = kSectorSize;
constexpr uint32_t kOrdinaryType = 0x8;

// A foreign disk's name is UTF-16; only ASCII comes back as the same bytes
// through a configuration file and a file name. The units 0xFF80 to 0xFFFF,
// which the packer's own names widen their bytes 0x80 to 0xFF to, are
// characters here (U+FF9E, say) and are refused like every other.
bool IsAsciiName(const std::array<uint16_t, 36>& units) {
  return std::all_of(units.begin(), units.end(), [](uint16_t unit) { return unit < 0x80; });
}

std::string EntryText(const GptEntryFacts& e) {
  return Format("entry %u (%s)", e.index + 1, e.name.c_str());
}

bool HasProblem(std::span<const LayoutProblem> problems, size_t index, LayoutRule rule) {
  return std::any_of(problems.begin(), problems.end(), [&](const LayoutProblem& problem) {
    return problem.partition == index && problem.rule == rule;
  });
}

// Another tool's entry takes the 64-bit sectors it claims, not what a packer partition writes.
std::vector<LayoutProblem> FindEntryProblems(const std::vector<GptEntryFacts>& entries) {
  std::vector<std::optional<SectorExtent>> spans;
  for (const GptEntryFacts& e : entries) {
    if (e.entry.lastLba < e.entry.firstLba) {
      spans.emplace_back();
    } else {
      spans.push_back(SectorExtent{e.entry.firstLba, e.entry.lastLba});
    }
  }
  return FindGptLayoutProblems(spans);
}

class ForeignLayoutReader {
 public:
  ForeignLayoutReader(const GptImageFacts& facts, std::string& why) : facts_(facts), why_(why) {}

  bool Run(GptLayout& layout);

 private:
  bool Refuse(std::string what) {
    why_ = std::move(what);
    return false;
  }
  bool CheckArray();
  bool CheckEntry(size_t position);
  bool CheckPlacement();

  const GptImageFacts& facts_;
  std::string& why_;
  // The layout's problems, entries that end before they start left out.
  std::vector<LayoutProblem> problems_;
};

bool ForeignLayoutReader::CheckArray() {
  const GptHeader& h = facts_.header;
  if (h.entryCount != kGptEntryCount) {
    return Refuse(
        Format("its GPT has %u entries, the packer writes %u", h.entryCount, kGptEntryCount));
  }
  if (h.entrySize != kGptEntrySize || h.arrayLba != kGptArrayLba) {
    return Refuse(
        Format("its partition array has entries of %u bytes at sector %llu, the "
               "packer writes entries of %u bytes at sector %llu",
               h.entrySize, Ull(h.arrayLba), kGptEntrySize, Ull(kGptArrayLba)));
  }
  if (facts_.entries.empty()) return Refuse("it has no partition");
  if (facts_.entries.size() > kGptLimits.maxPartitions) {
    return Refuse(Format("it has %zu partitions, a partition-table image holds at most %zu",
                         facts_.entries.size(), kGptLimits.maxPartitions));
  }
  return true;
}

// The packer writes the list's partitions into the first entries, in order,
// each with a name of at most 31 bytes.
bool ForeignLayoutReader::CheckEntry(size_t position) {
  const GptEntryFacts& e = facts_.entries[position];
  const GptEntry& entry = e.entry;
  if (e.index != position) {
    return Refuse(
        Format("entry %u is used after an unused entry, the packer fills the entries "
               "from the first",
               e.index + 1));
  }
  const std::optional<std::string> name = NarrowName(entry.name);
  if (!name || !IsAsciiName(entry.name)) {
    return Refuse(EntryText(e) + " has a name of characters other than ASCII");
  }
  if (name->size() >= PartitionEntry{}.name.size()) {
    return Refuse(Format("%s has a name of %zu characters, a partition's name holds %zu",
                         EntryText(e).c_str(), name->size(), PartitionEntry{}.name.size() - 1));
  }
  if (!GptNameFitsConfig(*name)) {
    return Refuse(EntryText(e) + " has a name a configuration file cannot carry");
  }
  // Before the entry's ends are looked at: an entry that ends before it
  // starts takes no sectors, and is refused for its start all the same.
  if (entry.firstLba < kGptReservedSectors) {
    return Refuse(Format("%s starts at sector %llu, before sector %llu", EntryText(e).c_str(),
                         Ull(entry.firstLba), Ull(kGptReservedSectors)));
  }
  if (entry.lastLba < entry.firstLba) {
    return Refuse(EntryText(e) + " ends before it starts");
  }
  // The image, its backup GPT included, lies below 4 GiB.
  if (HasProblem(problems_, position, LayoutRule::kPastLimit)) {
    return Refuse(EntryText(e) + " ends beyond 4 GiB, where no partition-table image reaches");
  }
  if ((entry.lastLba + 1) * kSector > facts_.fileLength) {
    return Refuse(EntryText(e) + " runs past the end of the image");
  }
  return true;
}

// The disk's size follows the last partition of the list, and the backup
// GPT lies after it: the last entry must be the partition that ends last,
// and no two partitions may share a sector.
bool ForeignLayoutReader::CheckPlacement() {
  const auto& entries = facts_.entries;
  if (const LayoutProblem* overlap = FirstProblemOf(problems_, LayoutRule::kOverlap)) {
    return Refuse(EntryText(entries[overlap->other]) + " and " +
                  EntryText(entries[overlap->partition]) + " overlap");
  }
  const GptEntryFacts& last = entries.back();
  for (const GptEntryFacts& e : entries) {
    if (e.entry.lastLba > last.entry.lastLba) {
      return Refuse(EntryText(e) + " ends after " + EntryText(last) +
                    ", the last entry, which the packer's disk size follows");
    }
  }
  return true;
}

bool ForeignLayoutReader::Run(GptLayout& layout) {
  if (!CheckArray()) return false;
  problems_ = FindEntryProblems(facts_.entries);
  for (size_t i = 0; i < facts_.entries.size(); ++i) {
    if (!CheckEntry(i)) return false;
  }
  if (!CheckPlacement()) return false;
  // A padded image with a backup GPT, as such a disk is; the bytes between
  // the partitions are not carried, so they are zero.
  GptLayout read;
  read.foreign = true;
  read.backup = true;
  read.diskGuid = facts_.header.diskGuid;
  for (const GptEntryFacts& e : facts_.entries) {
    GptLayoutPartition partition;
    partition.entry = e.index;
    partition.name = *NarrowName(e.entry.name);
    partition.type = kOrdinaryType;
    partition.offset = static_cast<uint32_t>(e.entry.firstLba);
    partition.size = static_cast<uint32_t>(e.entry.lastLba - e.entry.firstLba + 1);
    partition.typeGuid = e.entry.typeGuid;
    partition.uniqueGuid = e.entry.uniqueGuid;
    partition.attributes = e.entry.attributes;
    // Every sector of the partition is its payload.
    partition.payloadLength = uint64_t{partition.size} * kSector;
    partition.content = GptContent::kPayload;
    partition.data = {{e.entry.firstLba * kSector, partition.payloadLength, false}};
    read.partitions.push_back(std::move(partition));
  }
  layout = std::move(read);
  return true;
}

}  // namespace

bool ReadForeignGptLayout(const GptImageFacts& facts, GptLayout& layout, std::string& why) {
  return ForeignLayoutReader(facts, why).Run(layout);
}

}  // namespace imgweld
