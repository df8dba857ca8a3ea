#include "inspect/ForeignGptKit.h"

#include "image/GptRecords.h"
#include "inspect/RebuildConfig.h"

namespace imgweld {
namespace {

constexpr uint64_t kSector = kSectorSize;

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
