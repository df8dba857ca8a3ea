#include "inspect/ForeignGptKit.h"

#include <algorithm>

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

// Problems of a disk of another tool that its kit does not carry: the
// packer writes its own protective MBR, backup GPT and disk size.
bool ForeignKitRebuilds(GptRule rule) {
  switch (rule) {
    case GptRule::kProtectiveStart:
    case GptRule::kProtectiveSize:
    case GptRule::kBackupMissing:
    case GptRule::kBackupUnsound:
    case GptRule::kBackupHeaderDiffers:
    case GptRule::kBackupArrayDiffers:
    case GptRule::kUsableEnd:
    case GptRule::kUsableRange:
    case GptRule::kDiskPastLimit:
    case GptRule::kBackupNotAtEnd:
    case GptRule::kFilePastUsable:
      return true;
    default:
      return false;
  }
}

// Problems of the primary GPT alone, found when the backup is read in its
// place.
bool PrimaryOnly(GptRule rule) {
  switch (rule) {
    case GptRule::kNoHeader:
    case GptRule::kHeaderRevision:
    case GptRule::kHeaderSize:
    case GptRule::kHeaderOwnSector:
    case GptRule::kArrayPlace:
    case GptRule::kLayoutMark:
    case GptRule::kHeaderCrc:
    case GptRule::kArrayCrc:
    case GptRule::kArrayOutside:
      return true;
    default:
      return false;
  }
}

// Problems of the packer's images that leave the layout readable, where
// the comparison with the rebuilt image decides: the packer itself places a
// partition past the usable sectors when its list does not end with the
// last one, and bytes after the image's end are a difference the
// comparison names.
bool PackerKitCompares(GptRule rule) {
  return rule == GptRule::kEntryOutsideUsable || rule == GptRule::kFilePastUsable ||
         rule == GptRule::kBackupNotAtEnd;
}

// Whether a failed check keeps the kit from rebuilding the image. A check
// that names no problem is refused: what it found is not known to be
// harmless.
bool Refuses(const GptImageFacts& facts, const Check& check) {
  if (check.status != CheckStatus::kBad) return false;
  const bool packer = facts.PackerLayout();
  const bool backupInUse = facts.table == GptTableInUse::kBackup;
  const auto allowed = [&](GptRule rule) {
    if (packer) return PackerKitCompares(rule);
    return ForeignKitRebuilds(rule) || (backupInUse && PrimaryOnly(rule));
  };
  return check.gptProblems.empty() ||
         !std::all_of(check.gptProblems.begin(), check.gptProblems.end(), allowed);
}

}  // namespace

bool KitSurvivesChecks(const GptImageFacts& facts, const std::string& where, Output& out) {
  const auto refused = std::find_if(facts.checks.begin(), facts.checks.end(),
                                    [&](const Check& check) { return Refuses(facts, check); });
  if (refused == facts.checks.end()) return true;
  return RebuildReport{out, where, kCannotBeTakenApart}.Fail("it is damaged: " + refused->name +
                                                             ": " + refused->detail);
}

bool CanTakeGptApart(const GptImageFacts& facts, const std::string& where, Output& out) {
  const RebuildReport refusal{out, where, kCannotBeTakenApart};
  if (facts.table == GptTableInUse::kNeither) {
    return refusal.Fail(
        Format("its primary GPT %s and it has no sound backup GPT", facts.primaryFault.c_str()));
  }
  if (HasProblem(facts.checks, GptRule::kHybridMbr)) {
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
