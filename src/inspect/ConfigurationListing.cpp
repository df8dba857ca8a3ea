#include "inspect/ConfigurationListing.h"

#include "config/ConfigKeys.h"
#include "image/ImageReader.h"
#include "inspect/ListingSupport.h"

namespace imgweld {
namespace {

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

}  // namespace

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
  if (listing.refused) text += "\nrefused by -P:\n" + listing.RefusalText();
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
                        .Add("section", PartitionSectionName(i + 1))
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
      .Add("refusal", listing.refused ? Json(listing.RefusalText()) : Json())
      .Add("ok", !listing.refused);
}

}  // namespace imgweld
