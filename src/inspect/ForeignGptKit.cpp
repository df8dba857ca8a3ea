#include "inspect/ForeignGptKit.h"

#include <algorithm>

#include "config/ConfigDocument.h"
#include "config/ConfigKeys.h"
#include "config/IniWriter.h"
#include "image/FirmwareImage.h"
#include "image/GptRecords.h"
#include "image/gpt/GptLayout.h"
#include "inspect/RebuildConfig.h"
#include "unpack/UnpackSettings.h"

namespace imgweld {
namespace {

constexpr uint64_t kSector = kSectorSize;
constexpr uint32_t kOrdinaryType = 0x8;

class ForeignRebuild {
 public:
  ForeignRebuild(const GptImageFacts& facts, const std::string& where, Output& out)
      : facts_(facts), refusal_{out, where, kCannotBeTakenApart} {}

  bool Run(Kit& kit);

 private:
  bool Refuse(const std::string& what) { return refusal_.Fail(what); }
  bool CheckArray();
  bool CheckEntry(size_t position);
  bool CheckPlacement();

  const GptImageFacts& facts_;
  // The layout's problems, entries that end before they start left out.
  std::vector<LayoutProblem> problems_;
  const RebuildReport refusal_;
  ConfigDocument document_;
  GptKitNames names_;
};

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

bool ForeignRebuild::CheckArray() {
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
  if (facts_.entries.size() > kMaxGptPartitions) {
    return Refuse(Format("it has %zu partitions, a partition-table image holds at most %zu",
                         facts_.entries.size(), kMaxGptPartitions));
  }
  return true;
}

// The packer writes the list's partitions into the first entries, in order,
// each with a name of at most 31 bytes.
bool ForeignRebuild::CheckEntry(size_t position) {
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
  if (!GptNameCanBeCarried(*name)) {
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
bool ForeignRebuild::CheckPlacement() {
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

bool ForeignRebuild::Run(Kit& kit) {
  if (!CheckArray()) return false;
  problems_ = FindEntryProblems(facts_.entries);
  for (size_t i = 0; i < facts_.entries.size(); ++i) {
    if (!CheckEntry(i)) return false;
  }
  if (!CheckPlacement()) return false;
  WriteSystemValue(document_, key::kGptEnable, "0");
  WriteSystemValue(document_, key::kBackupPartitionEnable, "1");
  WriteSystemValue(document_, key::kFillByte, "0x00");
  WriteSystemValue(document_, key::kDiskGuid, GuidText(facts_.header.diskGuid));
  document_.GetOrAddSection(key::kTypeGuidSection);
  for (size_t i = 0; i < facts_.entries.size(); ++i) {
    const GptEntry& entry = facts_.entries[i].entry;
    const std::string name = *NarrowName(entry.name);
    PartitionSettings partition;
    partition.name = name;
    partition.type = kOrdinaryType;
    partition.offset = static_cast<uint32_t>(entry.firstLba);
    partition.size = static_cast<uint32_t>(entry.lastLba - entry.firstLba + 1);
    partition.file = names_.FileOf(name, i + 1);
    partition.typeGuid = names_.TypeKeyOf(entry.typeGuid, document_);
    partition.uniqueGuid = GuidText(entry.uniqueGuid);
    partition.attributes = entry.attributes;
    WritePartitionSection(document_, i + 1, partition);
    kit.files.push_back({partition.file,
                         {entry.firstLba * kSector, uint64_t{*partition.size} * kSector, false},
                         false});
  }
  const std::string comments[] = {
      "Save as setting.ini beside the partitions' files and pack it to make a",
      "partition-table image with the same partitions, names and GUIDs."};
  kit.form = KitForm::kPartitionTable;
  kit.config = IniText(document_, comments);
  kit.fillByte = 0;
  kit.foreign = true;
  return true;
}

// Every field of an entry, each of which the kit carries.
bool SameEntry(const GptEntry& a, const GptEntry& b) {
  return a.typeGuid == b.typeGuid && a.uniqueGuid == b.uniqueGuid && a.firstLba == b.firstLba &&
         a.lastLba == b.lastLba && a.attributes == b.attributes && a.name == b.name;
}

}  // namespace

bool CanTakeGptApart(const GptImageFacts& facts, const std::string& where, Output& out) {
  const RebuildReport refusal{out, where, kCannotBeTakenApart};
  if (facts.table == GptTableInUse::kNeither) {
    return refusal.Fail(
        Format("its primary GPT %s and it has no sound backup GPT", facts.primaryFault.c_str()));
  }
  if (facts.HybridRecords() != 0) {
    return refusal.Fail(
        Format("it has a hybrid MBR (%u %s beside the one of type 0xee), a "
               "partition-table image has a protective MBR only",
               facts.HybridRecords(), facts.HybridRecords() == 1 ? "record" : "records"));
  }
  return true;
}

bool IsForeignGpt(const GptImageFacts& facts) {
  const uint16_t marker = facts.header.layoutMarker;
  return marker != kGptCompactMarker && marker != kGptPaddedMarker;
}

bool BuildForeignGptKit(ImageSource& /*source*/, const GptImageFacts& facts,
                        const std::string& where, Output& out, Kit& kit) {
  return ForeignRebuild(facts, where, out).Run(kit);
}

bool CompareForeignGpt(ImageSource& source, const ImagePlan& plan, const ImageInputs& inputs,
                       uint8_t fillByte, const std::string& where, Output& out) {
  const GptImageFacts facts = ReadGptImage(source);
  const RebuildReport report{out, where, "cannot be rebuilt with the same partitions, "};
  std::vector<uint8_t> tables((1 + kGptArraySectors) * kSector);
  if (!ReadPlannedImage(source, plan, inputs, fillByte, kGptHeaderLba * kSector, tables)) {
    return report.Fail("the rebuilt image holds no GPT");
  }
  const GptHeader header =
      DecodeGptHeader(std::span<const uint8_t, kSectorSize>(tables.data(), kSectorSize));
  if (header.diskGuid != facts.header.diskGuid) return report.Fail("the disk GUID differs");
  std::vector<GptEntry> stored(kGptEntryCount);
  for (const GptEntryFacts& e : facts.entries) {
    if (e.index < kGptEntryCount) stored[e.index] = e.entry;
  }
  for (uint32_t i = 0; i < kGptEntryCount; ++i) {
    const GptEntry planned = DecodeGptEntry(std::span<const uint8_t, kGptEntrySize>(
        tables.data() + kSector + size_t{i} * kGptEntrySize, kGptEntrySize));
    if (!SameEntry(planned, stored[i])) return report.Fail(Format("entry %u differs", i + 1));
  }
  for (const GptEntryFacts& e : facts.entries) {
    if (!ComparePlannedRange(source, plan, inputs, fillByte, e.entry.firstLba * kSector,
                             (e.entry.lastLba + 1) * kSector, report)) {
      return false;
    }
  }
  // What comes back, and what does not.
  out.Note(where,
           "a disk image of another tool: its partitions, their names and GUIDs and the disk "
           "GUID are rebuilt, the bytes outside the partitions (MBR fields, private header "
           "fields, the disk's size) are not");
  return true;
}

}  // namespace imgweld
