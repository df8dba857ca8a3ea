#include "inspect/TaggedListing.h"

#include "inspect/InspectSupport.h"
#include "inspect/ListingSupport.h"

namespace imgweld {
namespace {

constexpr uint64_t kSector = kSectorSize;

// One record as both renderings show it; texts as stored, escaped only by
// the text rendering.
struct RecordRow {
  uint32_t index = 0;
  std::string name;
  uint32_t type = 0;
  uint32_t offset = 0;
  uint32_t size = 0;
  uint32_t flag = 0;
  uint64_t dataLength = 0;
  std::string typeGuid;  // empty when there is none
};

std::vector<RecordRow> RecordRows(const TaggedImageFacts& facts) {
  std::vector<RecordRow> rows;
  for (const TaggedRecord& record : facts.records) {
    const PartitionEntry& e = record.entry;
    rows.push_back(
        {record.index, e.Name(), e.type, e.offset, e.size, e.flag, e.dataLength, TypeGuidText(e)});
  }
  return rows;
}

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

const char* ProgramsWord(ProgramStorage programs) {
  switch (programs) {
    case ProgramStorage::kPlain:
      return "plain";
    case ProgramStorage::kScrambled:
      return "scrambled";
    case ProgramStorage::kUnknown:
      break;
  }
  return "unknown";
}

// The text of a comparison, and its JSON: true, false, or null when it was
// not made.
const char* ComparisonWord(ByteMatch comparison, const char* equal, const char* differ,
                           const char* notMade) {
  switch (comparison) {
    case ByteMatch::kEqual:
      return equal;
    case ByteMatch::kDiffer:
      return differ;
    case ByteMatch::kNotMade:
      break;
  }
  return notMade;
}

Json ComparisonJson(ByteMatch comparison) {
  return comparison == ByteMatch::kNotMade ? Json() : Json(comparison == ByteMatch::kEqual);
}

}  // namespace

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
  for (const RecordRow& r : RecordRows(facts)) {
    records.Row({std::to_string(r.index), Printable(r.name), Hex(r.type), Hex(r.offset),
                 Hex(r.size), FlagsText(r.flag), std::to_string(r.dataLength),
                 r.typeGuid.empty() ? "-" : Printable(r.typeGuid)});
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
    boot.Row({"programs", ProgramsWord(b.Programs())});
    boot.Row({"control sectors", SectorsWord(b.header)});
    boot.Row({"gap mode", b.layout.gap ? "on" : "off"});
    boot.Row({"first copy", Sectors(b.firstCopy / kSector, written)});
    boot.Row({"second copy", b.secondCopy ? Sectors(*b.secondCopy / kSector, written)
                                          : "not recorded (growing last partition)"});
    boot.Row({"copies", ComparisonWord(b.copies, "equal", "differ", "not compared")});
  } else {
    boot.Row({"boot block", "none"});
  }
  std::string backup = "none";
  if (facts.backupExpected) {
    backup = Format("at byte %s, ", Hex(facts.backupPosition).c_str()) +
             ComparisonWord(facts.backupBlock, "equal to header and table",
                            "differs from header and table", "not in the image");
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
  for (const RecordRow& r : RecordRows(facts)) {
    records.Push(Json::Object()
                     .Add("index", r.index)
                     .Add("name", r.name)
                     .Add("type", r.type)
                     .Add("offset", r.offset)
                     .Add("size", r.size)
                     .Add("flag", r.flag)
                     .Add("flags", FlagsJson(r.flag))
                     .Add("data_length", r.dataLength)
                     .Add("type_guid", r.typeGuid.empty() ? Json() : Json(r.typeGuid)));
  }
  Json boot;
  if (facts.boot) {
    const BootBlockFacts& b = *facts.boot;
    const ProgramStorage programs = b.Programs();
    boot = Json::Object();
    boot.Add("record", b.record)
        .Add("layout", b.layout.nano ? "nano" : "standard")
        .Add("ddr_length", b.fields.firstFileLength)
        .Add("loader_length", b.fields.secondFileLength)
        .Add("programs_scrambled", programs == ProgramStorage::kUnknown
                                       ? Json()
                                       : Json(programs == ProgramStorage::kScrambled))
        .Add("control_sectors", b.header == BootSectors::kPlain       ? Json("plain")
                                : b.header == BootSectors::kScrambled ? Json("scrambled")
                                                                      : Json())
        .Add("gap_mode", b.layout.gap)
        .Add("length", b.layout.WrittenBytes())
        .Add("first_copy_sector", b.firstCopy / kSector)
        .Add("second_copy_sector", b.secondCopy ? Json(*b.secondCopy / kSector) : Json())
        .Add("copies_equal", ComparisonJson(b.copies));
  }
  Json backup = Json::Object();
  backup.Add("present", facts.backupExpected)
      .Add("position", facts.backupExpected ? Json(facts.backupPosition) : Json())
      .Add("equal", ComparisonJson(facts.backupBlock));
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

}  // namespace imgweld
