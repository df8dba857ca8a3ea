#include "inspect/ListCommand.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "common/Json.h"
#include "config/ConfigDocument.h"
#include "image/ImageReader.h"
#include "inspect/ConfigListing.h"
#include "inspect/ExitCodes.h"
#include "inspect/InspectSupport.h"
#include "inspect/RebuildCheck.h"
#include "inspect/RebuildConfig.h"
#include "inspect/TextColumns.h"

namespace imgweld {
namespace {

// Larger files are not taken for configurations: they are not read as text.
constexpr uint64_t kMaxConfigLength = uint64_t{1} << 20;
constexpr uint64_t kSector = kSectorSize;
// How the messages of a configuration's plan name the image: -L has no
// saving directory.
constexpr const char* kImageName = "Firmware.img";

unsigned long long Ull(uint64_t value) { return static_cast<unsigned long long>(value); }

std::string Hex(uint64_t value) { return Format("0x%llx", Ull(value)); }

std::string FieldText(std::span<const uint8_t> field) {
  const auto* begin = reinterpret_cast<const char*>(field.data());
  return std::string(begin, strnlen(begin, field.size()));
}

std::string DateText(const FirmwareHeader& h) {
  return Format("%04u-%02u-%02u %02u:%02u:%02u", h.year, h.month, h.day, h.hour, h.minute,
                h.second);
}

std::string FlagsText(uint32_t flag) {
  std::string text;
  const auto add = [&](const std::string& word) { text += (text.empty() ? "" : "|") + word; };
  if ((flag & PART_FLAG_SKIP) != 0) add("skip");
  if ((flag & PART_FLAG_FILL) != 0) add("fill");
  if ((flag & PART_FLAG_GROW) != 0) add("grow");
  const uint32_t other = flag & ~(PART_FLAG_SKIP | PART_FLAG_FILL | PART_FLAG_GROW);
  if (other != 0) add(Hex(other));
  return text.empty() ? "-" : text;
}

Json FlagsJson(uint32_t flag) {
  Json names = Json::Array();
  if ((flag & PART_FLAG_SKIP) != 0) names.Push("skip");
  if ((flag & PART_FLAG_FILL) != 0) names.Push("fill");
  if ((flag & PART_FLAG_GROW) != 0) names.Push("grow");
  return names;
}

std::string Sectors(uint64_t first, uint64_t bytes) {
  const uint64_t count = std::max<uint64_t>(1, (bytes + kSector - 1) / kSector);
  return Format("sectors %s-%s", Hex(first).c_str(), Hex(first + count - 1).c_str());
}

std::string OkWord(bool ok) { return ok ? "ok" : "bad"; }

// Key and value blocks of one listing line up under each other.
constexpr size_t kLabelWidth = 15;

TextColumns Block() {
  TextColumns block;
  block.MinWidth(0, kLabelWidth);
  return block;
}

// The record's Type_Guid text; the boot block record holds its boot fields
// there instead.
std::string TypeGuidText(const PartitionEntry& entry) {
  if (entry.type == PART_TYPE_IDBLOCK) return {};
  return FieldText(entry.typeGuid);
}

// --- Tagged image --------------------------------------------------------

const char* SectorsWord(BootSectors state) {
  switch (state) {
    case BootSectors::kPlain:
      return "plain";
    case BootSectors::kScrambled:
      return "scrambled";
    case BootSectors::kUnreadable:
      return "unknown, the key does not fit";
  }
  return "unknown";
}

std::string ProgramsWord(const BootBlockFacts& boot) {
  const std::optional<bool> scrambled = boot.ProgramsScrambled();
  if (!scrambled) return "unknown";
  return *scrambled ? "scrambled" : "plain";
}

std::string TaggedText(const TaggedImageFacts& facts, const std::string& name) {
  const FirmwareHeader& h = facts.header;
  TextColumns about = Block();
  about.Row({"file", name});
  about.Row({"kind", "tagged firmware image"});
  about.Row({"length", Format("%llu bytes", Ull(facts.fileLength))});
  about.Row({"tag", FieldText(h.tag)});
  about.Row({"version", VersionText(h.version)});
  about.Row({"chip", Printable(FieldText(h.chip))});
  about.Row({"model", Printable(FieldText(h.model))});
  about.Row({"date", DateText(h)});
  about.Row({"header length", std::to_string(h.headerLength)});
  about.Row({"table sector", std::to_string(h.tableSector)});
  about.Row({"entry size", std::to_string(h.entrySize)});
  about.Row({"entry count", std::to_string(h.entryCount)});
  about.Row({"image sectors", std::to_string(h.imageSectors)});
  about.Row(
      {"image length", Format("%u bytes, the file %llu", h.imageLength, Ull(facts.fileLength))});
  about.Row({"backup", h.backupDisabled == 0 ? "on" : Format("off (%u)", h.backupDisabled)});
  about.Row({"header crc", Format("0x%08x %s", h.headerCrc,
                                  OkWord(h.headerCrc == facts.computedHeaderCrc).c_str())});
  about.Row({"table crc", Format("0x%08x %s", h.tableCrc,
                                 OkWord(facts.computedTableCrc == h.tableCrc).c_str())});
  std::string vendor = Format("sectors 0x%x-0x%x, ", kVendorFirstSector, kVendorLastSector);
  if (!facts.vendorFill) {
    vendor += "not in the image";
  } else if (facts.vendorUniform) {
    vendor += Format("fill byte 0x%02x", *facts.vendorFill);
  } else {
    vendor += Format("mixed bytes, the first 0x%02x", *facts.vendorFill);
  }
  about.Row({"vendor area", vendor});

  TextColumns records;
  records.Row({"#", "name", "type", "offset", "size", "flags", "data length", "type guid"});
  for (const TaggedRecord& record : facts.records) {
    const PartitionEntry& e = record.entry;
    const std::string guid = Printable(TypeGuidText(e));
    records.Row({std::to_string(record.index), Printable(e.Name()), Hex(e.type), Hex(e.offset),
                 Hex(e.size), FlagsText(e.flag), std::to_string(e.dataLength),
                 guid.empty() ? "-" : guid});
  }

  TextColumns boot = Block();
  if (facts.boot) {
    const BootBlockFacts& b = *facts.boot;
    const uint64_t written = b.layout.WrittenBytes();
    boot.Row({"boot block",
              Format("record %zu, %s layout", b.record, b.layout.nano ? "Nano" : "standard")});
    boot.Row({"ddr program", Format("%u bytes, %u sectors", b.fields.firstFileLength,
                                    b.layout.nano ? kNanoDdrCopySectors : b.layout.ddrSectors)});
    boot.Row({"loader",
              Format("%u bytes, %u sectors", b.fields.secondFileLength, b.layout.loaderSectors)});
    boot.Row({"programs", ProgramsWord(b)});
    boot.Row({"control sectors", SectorsWord(b.header)});
    boot.Row({"gap mode", b.layout.gap ? "on" : "off"});
    boot.Row({"first copy", Sectors(b.firstCopy / kSector, written)});
    boot.Row({"second copy", b.secondCopy ? Sectors(*b.secondCopy / kSector, written)
                                          : "not recorded (growing last partition)"});
    boot.Row({"copies", !b.copiesEqual ? "not compared" : *b.copiesEqual ? "equal" : "differ"});
  } else {
    boot.Row({"boot block", "none"});
  }
  std::string backup = "none";
  if (facts.backupExpected) {
    backup = Format("at byte %s, ", Hex(facts.backupPosition).c_str()) +
             (!facts.backupEqual   ? "not in the image"
              : *facts.backupEqual ? "equal to header and table"
                                   : "differs from header and table");
  }
  TextColumns backupBlock = Block();
  backupBlock.Row({"backup block", backup});
  return about.Text() + "\n" + records.Text() + "\n" + boot.Text() + "\n" + backupBlock.Text() +
         "\n" + CheckLines(facts.checks);
}

Json TaggedJson(const TaggedImageFacts& facts, const std::string& name) {
  const FirmwareHeader& h = facts.header;
  Json header = Json::Object();
  header.Add("tag", FieldText(h.tag))
      .Add("version", VersionText(h.version))
      .Add("version_word", h.version)
      .Add("chip", FieldText(h.chip))
      .Add("model", FieldText(h.model))
      .Add("date", Format("%04u-%02u-%02uT%02u:%02u:%02u", h.year, h.month, h.day, h.hour, h.minute,
                          h.second))
      .Add("header_length", h.headerLength)
      .Add("table_sector", h.tableSector)
      .Add("image_sectors", h.imageSectors)
      .Add("entry_size", h.entrySize)
      .Add("entry_count", h.entryCount)
      .Add("image_length", h.imageLength)
      .Add("backup", h.backupDisabled == 0)
      .Add("header_crc", Json::Object()
                             .Add("stored", h.headerCrc)
                             .Add("computed", facts.computedHeaderCrc)
                             .Add("ok", h.headerCrc == facts.computedHeaderCrc))
      .Add("table_crc",
           Json::Object()
               .Add("stored", h.tableCrc)
               .Add("computed", facts.computedTableCrc ? Json(*facts.computedTableCrc) : Json())
               .Add("ok", facts.computedTableCrc == h.tableCrc));
  Json vendor = Json::Object();
  vendor.Add("first_sector", kVendorFirstSector).Add("last_sector", kVendorLastSector);
  vendor.Add("fill_byte", facts.vendorFill ? Json(*facts.vendorFill) : Json());
  vendor.Add("uniform", facts.vendorUniform);

  Json records = Json::Array();
  for (const TaggedRecord& record : facts.records) {
    const PartitionEntry& e = record.entry;
    const std::string guid = TypeGuidText(e);
    records.Push(Json::Object()
                     .Add("index", record.index)
                     .Add("name", e.Name())
                     .Add("type", e.type)
                     .Add("offset", e.offset)
                     .Add("size", e.size)
                     .Add("flag", e.flag)
                     .Add("flags", FlagsJson(e.flag))
                     .Add("data_length", e.dataLength)
                     .Add("type_guid", guid.empty() ? Json() : Json(guid)));
  }
  Json boot;
  if (facts.boot) {
    const BootBlockFacts& b = *facts.boot;
    const std::optional<bool> scrambled = b.ProgramsScrambled();
    boot = Json::Object();
    boot.Add("record", b.record)
        .Add("layout", b.layout.nano ? "nano" : "standard")
        .Add("ddr_length", b.fields.firstFileLength)
        .Add("loader_length", b.fields.secondFileLength)
        .Add("programs_scrambled", scrambled ? Json(*scrambled) : Json())
        .Add("control_sectors", b.header == BootSectors::kPlain       ? Json("plain")
                                : b.header == BootSectors::kScrambled ? Json("scrambled")
                                                                      : Json())
        .Add("gap_mode", b.layout.gap)
        .Add("length", b.layout.WrittenBytes())
        .Add("first_copy_sector", b.firstCopy / kSector)
        .Add("second_copy_sector", b.secondCopy ? Json(*b.secondCopy / kSector) : Json())
        .Add("copies_equal", b.copiesEqual ? Json(*b.copiesEqual) : Json());
  }
  Json backup = Json::Object();
  backup.Add("present", facts.backupExpected)
      .Add("position", facts.backupExpected ? Json(facts.backupPosition) : Json())
      .Add("equal", facts.backupEqual ? Json(*facts.backupEqual) : Json());
  return Json::Object()
      .Add("file", name)
      .Add("kind", "tagged")
      .Add("length", facts.fileLength)
      .Add("header", std::move(header))
      .Add("vendor_area", std::move(vendor))
      .Add("records", std::move(records))
      .Add("boot_block", std::move(boot))
      .Add("backup_block", std::move(backup))
      .Add("checks", ChecksJson(facts.checks))
      .Add("ok", AllChecksHold(facts.checks));
}

// --- Partition-table image -----------------------------------------------

std::string GptText(const GptImageFacts& facts, const std::string& name) {
  const GptHeader& h = facts.header;
  TextColumns about = Block();
  about.Row({"file", name});
  about.Row({"kind", "partition-table image"});
  about.Row({"length", Format("%llu bytes", Ull(facts.fileLength))});
  about.Row({"layout", h.layoutMarker == kGptCompactMarker ? "compact"
                       : h.layoutMarker == kGptPaddedMarker
                           ? "padded"
                           : Format("unknown (0x%04x)", h.layoutMarker)});
  about.Row({"disk guid", GuidText(h.diskGuid)});
  about.Row({"first usable", Hex(h.firstUsableLba)});
  about.Row({"last usable", Hex(h.lastUsableLba)});
  about.Row({"disk sectors", facts.DiskEnd() ? Hex(*facts.DiskEnd()) : "open"});
  about.Row({"backup", h.backupEnabled != 0 ? "on" : "off"});
  about.Row({"header crc", Format("0x%08x %s", h.headerCrc,
                                  OkWord(facts.computedHeaderCrc == h.headerCrc).c_str())});
  about.Row({"array crc", Format("0x%08x %s", h.arrayCrc,
                                 OkWord(facts.computedArrayCrc == h.arrayCrc).c_str())});
  about.Row({"backup header",
             facts.backup ? Format("at byte %s", Hex(*facts.backupPosition).c_str()) : "none"});
  TextColumns entries;
  entries.Row({"#", "name", "type guid", "unique guid", "first", "last", "length"});
  for (const GptEntryFacts& e : facts.entries) {
    entries.Row({std::to_string(e.index), Printable(e.name), GuidText(e.entry.typeGuid),
                 GuidText(e.entry.uniqueGuid), Hex(e.entry.firstLba), Hex(e.entry.lastLba),
                 e.recordedLength ? std::to_string(*e.recordedLength) : "-"});
  }
  return about.Text() + "\n" + entries.Text() + "\n" + CheckLines(facts.checks);
}

Json GptJson(const GptImageFacts& facts, const std::string& name) {
  const GptHeader& h = facts.header;
  Json entries = Json::Array();
  for (const GptEntryFacts& e : facts.entries) {
    entries.Push(Json::Object()
                     .Add("index", e.index)
                     .Add("name", e.name)
                     .Add("type_guid", GuidText(e.entry.typeGuid))
                     .Add("unique_guid", GuidText(e.entry.uniqueGuid))
                     .Add("first_lba", e.entry.firstLba)
                     .Add("last_lba", e.entry.lastLba)
                     .Add("attributes", e.entry.attributes)
                     .Add("data_length", e.recordedLength ? Json(*e.recordedLength) : Json()));
  }
  const char* layout = h.layoutMarker == kGptCompactMarker  ? "compact"
                       : h.layoutMarker == kGptPaddedMarker ? "padded"
                                                            : "unknown";
  return Json::Object()
      .Add("file", name)
      .Add("kind", "gpt")
      .Add("length", facts.fileLength)
      .Add("layout", layout)
      .Add("disk_guid", GuidText(h.diskGuid))
      .Add("first_usable_lba", h.firstUsableLba)
      .Add("last_usable_lba", h.lastUsableLba)
      .Add("backup_lba", h.backupLba)
      .Add("disk_sectors", facts.DiskEnd() ? Json(*facts.DiskEnd()) : Json())
      .Add("backup_enabled", h.backupEnabled != 0)
      .Add("header_crc", Json::Object()
                             .Add("stored", h.headerCrc)
                             .Add("ok", facts.computedHeaderCrc == h.headerCrc))
      .Add("array_crc",
           Json::Object().Add("stored", h.arrayCrc).Add("ok", facts.computedArrayCrc == h.arrayCrc))
      .Add("partitions", std::move(entries))
      .Add("backup_header_position", facts.backup ? Json(*facts.backupPosition) : Json())
      .Add("checks", ChecksJson(facts.checks))
      .Add("ok", AllChecksHold(facts.checks));
}

// --- Configuration -------------------------------------------------------

const char* FormText(ImageForm form) {
  switch (form) {
    case ImageForm::kTagged:
      return "tagged firmware image";
    case ImageForm::kGptPadded:
      return "padded partition-table image";
    case ImageForm::kGptCompact:
      return "compact partition-table image";
  }
  return "";
}

const char* FormWord(ImageForm form) {
  switch (form) {
    case ImageForm::kTagged:
      return "tagged";
    case ImageForm::kGptPadded:
      return "gpt-padded";
    case ImageForm::kGptCompact:
      return "gpt-compact";
  }
  return "";
}

std::string BootSettingsText(const PackOptions& o) {
  return Format("%s layout, programs %s%s, control sectors %s, gap mode %s",
                o.nano ? "Nano" : "standard", o.scramblePrograms ? "scrambled" : "plain",
                o.programsGivenScrambled ? " (given scrambled)" : "",
                o.scrambleSectors ? "scrambled" : "plain", o.blankGap ? "on" : "off");
}

std::string OccupiedText(const ConfigListing& listing, size_t i) {
  if (i >= listing.occupied.size()) return "-";
  const std::optional<SectorRange>& range = listing.occupied[i];
  if (!range) return "none";
  return Format("%s-%s", Hex(range->first).c_str(), Hex(range->end - 1).c_str());
}

std::string ConfigText(const ConfigListing& listing, const std::string& name) {
  const PackOptions& o = listing.options;
  TextColumns about = Block();
  about.Row({"file", name});
  about.Row({"kind", "configuration"});
  about.Row({"image form", FormText(o.form)});
  if (listing.identity) {
    about.Row({"version", VersionText(listing.identity->version)});
    about.Row({"chip", Printable(FieldText(listing.identity->chip))});
    about.Row({"model", Printable(FieldText(listing.identity->model))});
  }
  about.Row({"fill byte", Format("0x%02x", o.fillByte)});
  about.Row({"backup", o.backup ? "on" : "off"});
  about.Row({"boot block", BootSettingsText(o)});
  about.Row({"image length",
             listing.imageLength ? Format("%llu bytes", Ull(*listing.imageLength)) : "-"});
  std::string text = about.Text();
  if (!listing.partitions.empty()) {
    TextColumns parts;
    parts.Row({"#", "name", "type", "sectors", "data length", "flags", "file"});
    for (size_t i = 0; i < listing.partitions.size(); ++i) {
      const PartitionEntry& e = listing.partitions[i];
      parts.Row({std::to_string(i + 1), Printable(e.Name()), Hex(e.type), OccupiedText(listing, i),
                 std::to_string(e.dataLength), FlagsText(e.flag),
                 e.sourceFile.empty() ? "-" : Printable(e.sourceFile)});
    }
    text += "\n" + parts.Text();
  }
  if (!listing.gaps.empty()) {
    TextColumns gaps;
    for (const SectorRange& gap : listing.gaps) {
      gaps.Row({"gap", Format("sectors %s-%s", Hex(gap.first).c_str(), Hex(gap.end - 1).c_str()),
                Format("%llu sectors of fill bytes", Ull(gap.end - gap.first))});
    }
    text += "\n" + gaps.Text();
  }
  if (!listing.warnings.empty()) text += "\nwarnings of -P:\n" + listing.warnings;
  if (listing.Refused()) text += "\nrefused by -P:\n" + listing.refusal;
  return text;
}

Json ConfigJson(const ConfigListing& listing, const std::string& name) {
  const PackOptions& o = listing.options;
  Json partitions = Json::Array();
  for (size_t i = 0; i < listing.partitions.size(); ++i) {
    const PartitionEntry& e = listing.partitions[i];
    Json sectors;
    if (i < listing.occupied.size() && listing.occupied[i]) {
      sectors = Json::Object()
                    .Add("first", listing.occupied[i]->first)
                    .Add("last", listing.occupied[i]->end - 1);
    }
    const std::string guid = TypeGuidText(e);
    partitions.Push(Json::Object()
                        .Add("section", Format("UserPart%zu", i + 1))
                        .Add("name", e.Name())
                        .Add("type", e.type)
                        .Add("offset", e.offset)
                        .Add("size", e.size)
                        .Add("flag", e.flag)
                        .Add("flags", FlagsJson(e.flag))
                        .Add("data_length", e.dataLength)
                        .Add("file", e.sourceFile.empty() ? Json() : Json(e.sourceFile))
                        .Add("type_guid", guid.empty() ? Json() : Json(guid))
                        .Add("sectors", std::move(sectors)));
  }
  Json gaps = Json::Array();
  for (const SectorRange& gap : listing.gaps) {
    gaps.Push(Json::Object().Add("first", gap.first).Add("last", gap.end - 1));
  }
  Json json = Json::Object();
  json.Add("file", name).Add("kind", "configuration").Add("form", FormWord(o.form));
  if (listing.identity) {
    json.Add("version", VersionText(listing.identity->version))
        .Add("chip", FieldText(listing.identity->chip))
        .Add("model", FieldText(listing.identity->model));
  } else {
    json.Add("version", Json()).Add("chip", Json()).Add("model", Json());
  }
  return json.Add("fill_byte", o.fillByte)
      .Add("backup", o.backup)
      .Add("nano", o.nano)
      .Add("blank_gap", o.blankGap)
      .Add("scramble_programs", o.scramblePrograms)
      .Add("programs_given_scrambled", o.programsGivenScrambled)
      .Add("scramble_sectors", o.scrambleSectors)
      .Add("partitions", std::move(partitions))
      .Add("gaps", std::move(gaps))
      .Add("image_length", listing.imageLength ? Json(*listing.imageLength) : Json())
      .Add("warnings", listing.warnings.empty() ? Json() : Json(listing.warnings))
      .Add("refusal", listing.Refused() ? Json(listing.refusal) : Json())
      .Add("ok", !listing.Refused());
}

// A file that parses to a document with a `System` or a first partition
// section is taken for a configuration.
bool LoadConfiguration(const std::string& path, uint64_t length, ConfigDocument& document) {
  return length <= kMaxConfigLength && document.LoadFile(path, false) &&
         (document.FindSection("System") != nullptr ||
          document.FindSection("UserPart1") != nullptr);
}

// In text mode a failure's line is part of the listing on standard output.
// In json and ini mode standard output holds the document or nothing, so
// the line goes to standard error, as "imgweld: <file>: <what>".
class FailureOutput final : public Output {
 public:
  FailureOutput(Output& out, ListMode mode, std::string where)
      : out_(out), toError_(mode != ListMode::kText), where_(std::move(where)) {}

  void Write(std::string_view text) override {
    if (!toError_) {
      out_.Write(text);
      return;
    }
    pending_.append(text);
    for (size_t end = pending_.find('\n'); end != std::string::npos; end = pending_.find('\n')) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.rfind(kFailurePrefix, 0) == 0) line.erase(0, std::string(kFailurePrefix).size());
      out_.Note(where_, line);
    }
  }
  void WriteDiagnostic(std::string_view text) override { out_.WriteDiagnostic(text); }

 private:
  static constexpr const char* kFailurePrefix = "UnPacking Error:";
  Output& out_;
  const bool toError_;
  std::string where_;
  std::string pending_;
};

int ListConfiguration(const ConfigDocument& document, const std::string& path, ListMode mode,
                      Output& out) {
  if (mode == ListMode::kIni) {
    FailureOutput(out, mode, path)
        .Printf("UnPacking Error:%s is a configuration, only a tagged image is listed as one!\r\n",
                path.c_str());
    return kExitUnpackFailed;
  }
  const ConfigListing listing =
      DescribeConfiguration(document, path, kImageName, std::getenv("SOURCE_DATE_EPOCH"));
  out.Write(mode == ListMode::kJson ? ConfigJson(listing, path).Text() : ConfigText(listing, path));
  return listing.Refused() ? kExitPackFailed : kExitOk;
}

int ListTagged(ImageSource& source, const std::string& name, ListMode mode, Output& out) {
  const TaggedImageFacts facts = ReadTaggedImage(source);
  if (mode == ListMode::kIni) {
    // Standard output holds a configuration that rebuilds the image, or
    // nothing: the reason goes to standard error.
    std::string config;
    std::string problem;
    if (!BuildRebuildConfig(source, facts, config, problem) ||
        !CheckRebuild(source, facts, config, problem)) {
      // The reason may quote a text of the image: it is shown escaped.
      out.Note(name, Printable("cannot be rebuilt exactly, " + problem));
      return kExitUnpackFailed;
    }
    out.Write(config);
    return kExitOk;
  }
  out.Write(mode == ListMode::kJson ? TaggedJson(facts, name).Text() : TaggedText(facts, name));
  return AllChecksHold(facts.checks) ? kExitOk : kExitUnpackFailed;
}

int ListGpt(ImageSource& source, const std::string& name, ListMode mode, Output& out) {
  if (mode == ListMode::kIni) {
    FailureOutput(out, mode, name)
        .Printf(
            "UnPacking Error:%s is a partition-table image, only a tagged image is listed as a "
            "configuration!\r\n",
            name.c_str());
    return kExitUnpackFailed;
  }
  const GptImageFacts facts = ReadGptImage(source);
  out.Write(mode == ListMode::kJson ? GptJson(facts, name).Text() : GptText(facts, name));
  return AllChecksHold(facts.checks) ? kExitOk : kExitUnpackFailed;
}

}  // namespace

std::optional<ListMode> ParseListMode(const std::string& word) {
  std::string lower = word;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower == "text") return ListMode::kText;
  if (lower == "json") return ListMode::kJson;
  if (lower == "ini") return ListMode::kIni;
  return std::nullopt;
}

int ListImage(ImageSource& source, const std::string& name, ListMode mode, Output& out) {
  switch (IdentifyImage(source)) {
    case ImageKind::kTagged:
      return ListTagged(source, name, mode, out);
    case ImageKind::kGpt:
      return ListGpt(source, name, mode, out);
    case ImageKind::kOther:
      break;
  }
  FailureOutput(out, mode, name)
      .Printf(
          "UnPacking Error:%s is neither a tagged firmware image, a partition-table image nor a "
          "configuration!\r\n",
          name.c_str());
  return kExitUnpackFailed;
}

int ListFile(const std::string& path, ListMode mode, Output& out) {
  File file;
  uint64_t length = 0;
  FailureOutput failures(out, mode, path);
  if (!OpenForInspection(path, file, length, failures)) return kExitUnpackFailed;
  FileSource source(file, length);
  if (IdentifyImage(source) == ImageKind::kOther) {
    ConfigDocument document;
    if (LoadConfiguration(path, length, document)) {
      return ListConfiguration(document, path, mode, out);
    }
  }
  return ListImage(source, path, mode, out);
}

}  // namespace imgweld
