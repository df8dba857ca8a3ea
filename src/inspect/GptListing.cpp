#include "inspect/GptListing.h"

#include <algorithm>
#include <string>
#include <vector>

#include "inspect/InspectSupport.h"
#include "inspect/ListingSupport.h"

namespace imgweld {
namespace {

const char* TableWord(GptTableInUse table) {
  switch (table) {
    case GptTableInUse::kPrimary:
      return "primary";
    case GptTableInUse::kBackup:
      return "backup";
    case GptTableInUse::kNeither:
      break;
  }
  return "none";
}

}  // namespace

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
  // The checksums are the primary's, whichever table is read.
  const GptHeader& p = facts.primary;
  about.Row({"header crc", Format("0x%08x %s", p.headerCrc,
                                  OkWord(facts.computedHeaderCrc == p.headerCrc).c_str())});
  about.Row({"array crc", Format("0x%08x %s", p.arrayCrc,
                                 OkWord(facts.computedArrayCrc == p.arrayCrc).c_str())});
  if (facts.table != GptTableInUse::kPrimary) {
    about.Row({"table read", facts.table == GptTableInUse::kBackup
                                 ? "backup, the primary " + facts.primaryFault
                                 : "none is sound, the primary " + facts.primaryFault});
  }
  about.Row({"backup header",
             facts.backup ? Format("at byte %s", Hex(*facts.backupPosition).c_str()) : "none"});
  // The attributes get a column only on a disk where some entry has them.
  const bool attributes =
      std::any_of(facts.entries.begin(), facts.entries.end(),
                  [](const GptEntryFacts& e) { return e.entry.attributes != 0; });
  TextColumns entries;
  std::vector<std::string> heading = {"#",     "name", "type guid", "unique guid",
                                      "first", "last", "length"};
  if (attributes) heading.emplace_back("attributes");
  entries.Row(heading);
  for (const GptEntryFacts& e : facts.entries) {
    std::vector<std::string> row = {std::to_string(e.index),
                                    Printable(e.name),
                                    GuidText(e.entry.typeGuid),
                                    GuidText(e.entry.uniqueGuid),
                                    Hex(e.entry.firstLba),
                                    Hex(e.entry.lastLba),
                                    e.recordedLength ? std::to_string(*e.recordedLength) : "-"};
    if (attributes) row.push_back(Format("0x%016llx", Ull(e.entry.attributes)));
    entries.Row(row);
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
                             .Add("stored", facts.primary.headerCrc)
                             .Add("ok", facts.computedHeaderCrc == facts.primary.headerCrc))
      .Add("array_crc", Json::Object()
                            .Add("stored", facts.primary.arrayCrc)
                            .Add("ok", facts.computedArrayCrc == facts.primary.arrayCrc))
      .Add("table", TableWord(facts.table))
      .Add("partitions", std::move(entries))
      .Add("backup_header_position", facts.backup ? Json(*facts.backupPosition) : Json())
      .Add("checks", ChecksJson(facts.checks))
      .Add("ok", AllChecksHold(facts.checks));
}

}  // namespace imgweld
