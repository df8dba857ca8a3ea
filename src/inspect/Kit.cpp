#include "inspect/Kit.h"

#include <ctime>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "config/ConfigDocument.h"
#include "image/FirmwareImage.h"
#include "image/ImageFiles.h"
#include "inspect/ForeignGptKit.h"
#include "inspect/RebuildConfig.h"
#include "pack/GptWriter.h"
#include "pack/ImagePlan.h"
#include "pack/PackContext.h"
#include "pack/PackFirmware.h"
#include "pack/PackOptions.h"
#include "pack/PackTime.h"
#include "pack/PartitionList.h"
#include "unpack/OutputNames.h"
#include "unpack/UnpackRefusals.h"

namespace imgweld {
namespace {

// Why a payload cannot be written as a file of its own, by where the reader
// placed it, or nothing.
std::optional<std::string> PayloadFault(const ExtractedFile& file) {
  switch (file.place) {
    case PayloadPlace::kInside:
      return std::nullopt;
    case PayloadPlace::kTooLong:
      return "the data of " + file.name + " is 4 GiB or longer";
    case PayloadPlace::kBeyondLimit:
      return "the data of " + file.name + " lies beyond 4 GiB";
    case PayloadPlace::kPastEnd:
      return "the data of " + file.name + " runs past the end of the image";
  }
  return std::nullopt;
}

// What keeps the files of a tagged image from being written at all, as -U
// refuses it before its first file: a header or table it refuses, a record
// whose name is no plain file name, a payload outside the image.
std::optional<std::string> TaggedFault(const TaggedImageFacts& facts,
                                       const TableExtraction& extraction) {
  // The header and table are judged by -U's own table of refusals.
  if (std::optional<std::string> reason = TableRefusalReason(facts)) return reason;
  for (const RecordExtraction& record : extraction.records) {
    // The reader fails the name of every record -U writes a named file for;
    // -U refuses the record by that problem, so the kit does too.
    const uint32_t index = record.record->index;
    if (HasProblem(facts.checks, TaggedRule::kNameNotPlain, index)) {
      return Format("the name of partition record %u is no plain file name", index);
    }
    for (const ExtractedFile& file : record.files) {
      if (std::optional<std::string> fault = PayloadFault(file)) return fault;
    }
  }
  return std::nullopt;
}

// The packer's plan of `document` for the kit's form; false after the
// report, with the packer's own words on `messages` first.
bool PlanKit(const Kit& kit, const ConfigDocument& document, const PackContext& context,
             const RebuildReport& report, Output& messages, ImagePlan& plan) {
  if (kit.form == KitForm::kPartitionTable) {
    GuidMap guids;
    ReadPartitionTypeGuids(document, guids);
    GptFirmwarePlan planned;
    if (!PlanGptFirmware(document, context, guids, kImageFileName, planned)) {
      return report.Fail(std::string(kPackerRefuses));
    }
    plan = std::move(planned.plan);
    return true;
  }
  // The header is dated from the Date key, which carries every date a
  // header holds; SOURCE_DATE_EPOCH, on the first line, only those since 1970.
  std::optional<std::tm> packTime;
  if (!ReadDateKey(document, packTime, messages) || !packTime) {
    return report.Fail("the configuration names no Date the packer takes");
  }
  TaggedFirmwarePlan planned;
  if (!PlanTaggedFirmware(document, context, kImageFileName, *packTime, planned)) {
    return report.Fail(std::string(kPackerRefuses));
  }
  plan = std::move(planned.plan);
  return true;
}

// A vendor-type partition of no data that the packer writes from a file of
// no bytes, under a name a file can take. The table's first record, the
// vendor area, is made by the packer itself.
bool PackedFromEmptyFile(const TaggedRecord& record) {
  const PartitionEntry& e = record.entry;
  return record.index != 0 && e.type == PART_TYPE_VENDOR && e.dataLength == 0 &&
         (e.flag & (PART_FLAG_SKIP | PART_FLAG_FILL)) == 0 && HasPlainRecordName(e);
}

// `plain`, or "<plain>.<n>" with the lowest n from 2 on, whichever no file
// of `taken` (names as a case-folding directory compares them) holds.
std::string FreeFileName(const std::string& plain, const std::set<std::string>& taken) {
  std::string name = plain;
  for (size_t n = 2; taken.count(CaseFolded(name)) != 0; ++n) {
    name = plain + "." + std::to_string(n);
  }
  return name;
}

}  // namespace

std::vector<TaggedKitFile> TaggedKitEntries(const TaggedImageFacts& facts) {
  std::map<uint32_t, std::vector<KitFile>> extracted;
  std::set<std::string> taken;
  for (const RecordExtraction& extraction : PlanExtraction(facts.records).records) {
    const bool boot = extraction.record->entry.type == PART_TYPE_IDBLOCK;
    for (const ExtractedFile& file : extraction.files) {
      extracted[extraction.record->index].push_back({file.name, file.extent, boot, file.place});
      taken.insert(CaseFolded(file.name));
    }
  }
  std::vector<TaggedKitFile> entries;
  for (const TaggedRecord& record : facts.records) {
    const auto files = extracted.find(record.index);
    if (files != extracted.end()) {
      for (const KitFile& file : files->second) entries.push_back({record.index, file});
    } else if (PackedFromEmptyFile(record)) {
      const std::string name = FreeFileName(record.entry.Name() + ".img", taken);
      taken.insert(CaseFolded(name));
      const PayloadExtent empty{uint64_t{record.entry.offset} * kSectorSize, 0, false};
      entries.push_back({record.index, {name, empty, false}});
    }
  }
  return entries;
}

std::vector<KitFile> TaggedKitFiles(const TaggedImageFacts& facts) {
  std::vector<KitFile> files;
  for (const TaggedKitFile& entry : TaggedKitEntries(facts)) files.push_back(entry.file);
  return files;
}

bool BuildTaggedKit(ImageSource& source, const TaggedImageFacts& facts, const std::string& where,
                    Output& out, Kit& kit) {
  const TableExtraction extraction = PlanExtraction(facts.records);
  if (const std::optional<std::string> fault = TaggedFault(facts, extraction)) {
    return RebuildReport{out, where, kCannotBeTakenApart}.Fail(*fault);
  }
  for (const OutputNote& note : extraction.notes) {
    const uint32_t index = extraction.records[note.record].record->index;
    out.Note(where, Format("partition record %u: ", index) + note.text);
  }
  kit = Kit{};
  kit.form = KitForm::kTagged;
  kit.files = TaggedKitFiles(facts);
  std::string config;
  if (!BuildRebuildConfig(source, facts, where, out, config)) return true;
  kit.config = std::move(config);
  kit.fillByte = facts.vendorFill.value_or(0);
  return true;
}

bool CheckKit(ImageSource& source, const Kit& kit, const std::string& where, Output& out) {
  ConfigDocument document;
  std::istringstream text(kit.config);
  document.Parse(text, false);
  PackerMessages messages(out, where);
  const RebuildReport report{out, where, kNotRebuiltExactly};
  const PackOptions options = ResolvePackOptions(document, std::string());
  const ImageInputs inputs(source, kit.files);
  // The partition lines of reading the list are -P's progress; a check
  // prints no progress.
  DiscardedOutput progress;
  const PackContext context{options, messages, &inputs, &progress};
  ImagePlan plan;
  if (!PlanKit(kit, document, context, report, messages, plan)) return false;
  if (plan.failure) {
    plan.failure->Print(messages);
    return report.Fail(std::string(kPackerRefuses));
  }
  if (kit.foreign) return CompareForeignGpt(source, plan, inputs, options.fillByte, where, out);
  return ComparePlannedImage(source, plan, inputs, options.fillByte, report);
}

}  // namespace imgweld
