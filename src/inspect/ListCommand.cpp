#include "inspect/ListCommand.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "common/Json.h"
#include "config/ConfigDocument.h"
#include "config/ConfigKeys.h"
#include "image/ImageFiles.h"
#include "image/ImageReader.h"
#include "inspect/ConfigListing.h"
#include "inspect/ConfigurationListing.h"
#include "inspect/GptListing.h"
#include "inspect/GptRebuildConfig.h"
#include "inspect/InspectSupport.h"
#include "inspect/Kit.h"
#include "inspect/RebuildConfig.h"
#include "inspect/TaggedListing.h"
#include "inspect/TextColumns.h"

namespace imgweld {
namespace {

// Larger files are not taken for configurations: they are not read as text.
constexpr uint64_t kMaxConfigLength = uint64_t{1} << 20;

// A file that parses to a document with a `System` or a first partition
// section is taken for a configuration.
bool LoadConfiguration(const std::string& path, uint64_t length, ConfigDocument& document,
                       Output& out) {
  return length <= kMaxConfigLength && document.LoadFile(path, false, out) &&
         (document.FindSection(key::kSystem) != nullptr ||
          document.FindSection(PartitionSectionName(1)) != nullptr);
}

// In text mode a failure's line is part of the listing; in json and ini
// mode it goes to standard error.
FailureReport ListFailure(Output& out, ListMode mode, const std::string& where) {
  return FailureReport(
      out, mode == ListMode::kText ? FailureLine::kInListing : FailureLine::kOnStandardError,
      where);
}

ListOutcome ListConfiguration(const ConfigDocument& document, const std::string& path,
                              ListMode mode, Output& out) {
  if (mode == ListMode::kIni) {
    ListFailure(out, mode, path)
        .Fail(Format("%s is a configuration, only a tagged image is listed as one!", path.c_str()));
    return ListOutcome::kFailed;
  }
  // -L has no saving directory: the plan's messages name the image alone.
  const ConfigListing listing =
      DescribeConfiguration(document, path, kImageFileName, std::getenv("SOURCE_DATE_EPOCH"));
  out.Write(mode == ListMode::kJson ? ConfigJson(listing, path).Text() : ConfigText(listing, path));
  return listing.Refused() ? ListOutcome::kRefused : ListOutcome::kListed;
}

bool ListTagged(ImageSource& source, const TaggedImageFacts& facts, const std::string& name,
                ListMode mode, Output& out) {
  if (mode == ListMode::kIni) {
    // Standard output holds a configuration that rebuilds the image, or
    // nothing: the reason goes to standard error.
    Kit kit;
    kit.files = TaggedKitFiles(facts);
    if (!BuildRebuildConfig(source, facts, name, out, kit.config) ||
        !CheckKit(source, kit, name, out)) {
      return false;
    }
    out.Write(kit.config);
    return true;
  }
  out.Write(mode == ListMode::kJson ? TaggedJson(facts, name).Text() : TaggedText(facts, name));
  return AllChecksHold(facts.checks);
}

bool ListGpt(ImageSource& source, const GptImageFacts& facts, const std::string& name,
             ListMode mode, Output& out) {
  if (mode == ListMode::kIni) {
    // As for a tagged image: a configuration that rebuilds the image, or
    // nothing on standard output.
    Kit kit;
    if (!BuildGptKit(source, facts, name, out, kit) || !CheckKit(source, kit, name, out)) {
      return false;
    }
    NoteGptTable(facts, name, out);
    out.Write(kit.config);
    return true;
  }
  NoteGptTable(facts, name, out);
  out.Write(mode == ListMode::kJson ? GptJson(facts, name).Text() : GptText(facts, name));
  return AllChecksHold(facts.checks);
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

bool ListImage(ImageSource& source, const ImageReading& reading, const std::string& name,
               ListMode mode, Output& out) {
  if (reading.tagged) return ListTagged(source, *reading.tagged, name, mode, out);
  if (reading.gpt) return ListGpt(source, *reading.gpt, name, mode, out);
  ListFailure(out, mode, name)
      .Fail(NotAnImageText(name, reading.form,
                           "a tagged firmware image, a partition-table image nor a configuration"));
  return false;
}

bool ListImage(ImageSource& source, const std::string& name, ListMode mode, Output& out) {
  return ListImage(source, ReadImage(source), name, mode, out);
}

ListOutcome ListFile(const std::string& path, ListMode mode, Output& out) {
  File file;
  uint64_t length = 0;
  FailureReport failure = ListFailure(out, mode, path);
  if (!OpenForInspection(path, file, length, failure)) return ListOutcome::kFailed;
  FileSource source(file, length);
  const ImageReading reading = ReadImage(source);
  if (reading.form.kind == ImageKind::kOther) {
    ConfigDocument document;
    if (LoadConfiguration(path, length, document, out)) {
      return ListConfiguration(document, path, mode, out);
    }
  }
  return ListImage(source, reading, path, mode, out) ? ListOutcome::kListed : ListOutcome::kFailed;
}

}  // namespace imgweld
