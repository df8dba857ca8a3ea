#include "inspect/ListCommand.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "common/Json.h"
#include "config/ConfigDocument.h"
#include "config/ConfigKeys.h"
#include "image/ImageReader.h"
#include "inspect/ConfigListing.h"
#include "inspect/ConfigurationListing.h"
#include "inspect/ExitCodes.h"
#include "inspect/GptListing.h"
#include "inspect/GptRebuildConfig.h"
#include "inspect/InspectSupport.h"
#include "inspect/RebuildCheck.h"
#include "inspect/RebuildConfig.h"
#include "inspect/TaggedListing.h"
#include "inspect/TextColumns.h"

namespace imgweld {
namespace {

// Larger files are not taken for configurations: they are not read as text.
constexpr uint64_t kMaxConfigLength = uint64_t{1} << 20;
// How the messages of a configuration's plan name the image: -L has no
// saving directory.
constexpr const char* kImageName = "Firmware.img";

// A file that parses to a document with a `System` or a first partition
// section is taken for a configuration.
bool LoadConfiguration(const std::string& path, uint64_t length, ConfigDocument& document) {
  return length <= kMaxConfigLength && document.LoadFile(path, false) &&
         (document.FindSection(key::kSystem) != nullptr ||
          document.FindSection(PartitionSectionName(1)) != nullptr);
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
    if (!BuildRebuildConfig(source, facts, name, out, config) ||
        !CheckRebuild(source, facts, config, name, out)) {
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
    // As for a tagged image: a configuration that rebuilds the image, or
    // nothing on standard output.
    GptKit kit;
    if (!BuildGptKit(source, ReadGptImage(source), name, out, kit) ||
        !CheckGptKit(source, kit, name, out)) {
      return kExitUnpackFailed;
    }
    out.Write(kit.config);
    return kExitOk;
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
