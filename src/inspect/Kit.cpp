#include "inspect/Kit.h"

#include <ctime>
#include <optional>
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

// Why a payload cannot be written as a file of its own, or nothing.
std::optional<std::string> PayloadFault(const ExtractedFile& file, uint64_t fileLength) {
  const PayloadExtent& extent = file.extent;
  switch (PlacePayload(extent.byteOffset, extent.End() - extent.byteOffset, fileLength)) {
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
    const PartitionEntry& entry = record.record->entry;
    if (entry.type != PART_TYPE_IDBLOCK && !HasPlainRecordName(entry)) {
      return Format("the name of partition record %u is no plain file name", record.record->index);
    }
    for (const ExtractedFile& file : record.files) {
      if (std::optional<std::string> fault = PayloadFault(file, facts.fileLength)) return fault;
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

}  // namespace

std::vector<KitFile> TaggedKitFiles(const TaggedImageFacts& facts) {
  std::vector<KitFile> files;
  for (const RecordExtraction& extraction : PlanExtraction(facts.records).records) {
    const bool boot = extraction.record->entry.type == PART_TYPE_IDBLOCK;
    for (const ExtractedFile& file : extraction.files) {
      files.push_back({file.name, file.extent, boot});
    }
  }
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
