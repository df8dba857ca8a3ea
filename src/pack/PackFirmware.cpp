#include "pack/PackFirmware.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <span>
#include <vector>

#include "common/File.h"
#include "config/ConfigDocument.h"
#include "image/FirmwareImage.h"
#include "image/Md5.h"
#include "image/tagged/TaggedLayout.h"
#include "pack/ConfigWarnings.h"
#include "pack/GptWriter.h"
#include "pack/ImagePlan.h"
#include "pack/ImageWriter.h"
#include "pack/LayoutChecks.h"
#include "pack/PackContext.h"
#include "pack/PackLayout.h"
#include "pack/PackOptions.h"
#include "pack/PackOutput.h"
#include "pack/PackTime.h"
#include "pack/PartitionList.h"
#include "pack/PayloadPlan.h"
#include "pack/ResolvedConfig.h"

namespace imgweld {
namespace {

struct OutputPaths {
  std::string image;
  std::string hash;
};

// The saving directory must exist and be a directory.
bool CheckSavingDir(const std::string& savingDir, Output& out) {
  struct stat status {};
  if (stat(savingDir.c_str(), &status) != 0) {
    const int error = errno;
    out.Printf("Packing Error:Stat %s failed,errno=%d!\r\n", savingDir.c_str(), error);
    out.NoteSystemError(savingDir, error);
    return false;
  }
  if (!S_ISDIR(status.st_mode)) {
    out.Printf("Packing Error:invalid %s!\r\n", savingDir.c_str());
    return false;
  }
  return true;
}

OutputPaths MakeOutputPaths(std::string savingDir) {
  if (savingDir.empty() || savingDir.back() != '/') savingDir += '/';
  return {savingDir + kImageFileName, savingDir + kHashFileName};
}

void StampHeader(FirmwareHeader& header, const std::tm& packTime) {
  header.tag = kFirmwareTag;
  header.year = static_cast<uint16_t>(packTime.tm_year + 1900);
  header.month = static_cast<uint8_t>(packTime.tm_mon + 1);
  header.day = static_cast<uint8_t>(packTime.tm_mday);
  header.hour = static_cast<uint8_t>(packTime.tm_hour);
  header.minute = static_cast<uint8_t>(packTime.tm_min);
  header.second = static_cast<uint8_t>(packTime.tm_sec);
  header.headerLength = kHeaderSize;
}

// The header's fields that depend on the whole layout, the table block and
// the backup block, once every partition is placed. The image is padded to
// a whole sector so that the recorded length covers its last bytes.
void PlanTaggedFinish(PlanBuilder& plan, const PackContext& context, FirmwareHeader& header,
                      std::vector<PartitionEntry>& partitions, const std::string& imagePath,
                      size_t tableBuffer) {
  if (!partitions.empty() && (partitions.back().flag & PART_FLAG_GROW) != 0) {
    partitions.back().size = kTaggedUnknownSize;
  }
  const uint64_t rest = plan.Length() % kSectorSize;
  if (rest != 0) plan.FillTo(plan.Length() + (kSectorSize - rest));
  const uint64_t length = plan.Length();
  const bool backup = context.options.backup;
  // Every position in the image, and its recorded length, is a 32-bit value.
  if (TaggedImageLength(length / kSectorSize, backup) > kMaxImageLength) {
    plan.Fail({Beyond4GiBLine(imagePath)});
    return;
  }
  header.imageSectors = static_cast<uint32_t>(length / kSectorSize);
  header.imageLength = static_cast<uint32_t>(TaggedImageLength(header.imageSectors, backup));
  header.backupDisabled = backup ? 0 : 1;
  const TableBlock block = AssembleTableBlock(header, partitions);
  std::copy(block.begin(), block.end(), plan.Buffer(tableBuffer).begin());
  if (backup) {
    const TableBlock backupBlock = MakeBackupBlock(block);
    plan.Message("Writing metadata ...\r\n");
    plan.SeekToEnd();
    plan.WriteBuffer(plan.AddBuffer({backupBlock.begin(), backupBlock.end()}));
  }
}

// Every byte of the tagged image in the order it is written. Header and
// table go out first, already final: the plan knows every record and the
// image's length before the first byte is written.
ImagePlan PlanTaggedImage(const PackContext& context, FirmwareHeader& header,
                          std::vector<PartitionEntry>& partitions, std::span<PartitionFiles> files,
                          const std::string& imagePath) {
  PlanBuilder plan;
  const size_t table = plan.AddBuffer(std::vector<uint8_t>(kTableBlockSize, 0));
  plan.WriteBuffer(table);
  plan.Message("Writing vendor...\r\n");
  plan.FillTo(kVendorAreaEnd);
  plan.Message("Writing idblock...\r\n");
  const auto boot = std::find_if(partitions.begin(), partitions.end(), [](const PartitionEntry& e) {
    return e.type == PART_TYPE_IDBLOCK;
  });
  if (boot == partitions.end()) {
    plan.Fail({"Packing Error:no found idblcok partition!\r\n"});
    return plan.Finish();
  }
  const size_t bootIndex = static_cast<size_t>(boot - partitions.begin());
  PlanIdBlockSteps(plan, context, *boot, boot->sourceFile,
                   bootIndex < files.size() ? &files[bootIndex].programs : nullptr);
  if (!plan.Failed()) PlanPartitionSteps(plan, context, partitions, files);
  if (!plan.Failed()) PlanTaggedFinish(plan, context, header, partitions, imagePath, table);
  return plan.Finish();
}

// The digest of the finished image: taken while it was written when every
// byte went out in order, else read back from the image.
bool WriteHashFile(SavingDirectory& dir, AtomicFile& image, std::optional<Md5Digest> digest,
                   AtomicFile& hash, Output& out) {
  if (!digest) {
    digest.emplace();
    std::optional<uint64_t> length = image.Stream().Length();
    Progress progress(out, "hashing " + image.Path(), length.value_or(0));
    if (!Md5OfStream(*digest, image.Stream(), kMd5WholeFile, &progress)) {
      out.Line("Packing Error:Generating hash failed!\r");
      out.Note(image.Path(), image.Stream().FailureText());
      return false;
    }
  }
  if (!FinishPackOutput(image, out)) return false;
  if (!dir.Create(hash, kHashFileName, "Packing Error:Opening %s failed, err=%d!", out)) {
    return false;
  }
  if (!hash.Stream().Write(*digest)) {
    out.Printf("Packing Error:Writing %s failed, err=%d!\r\n", hash.Path().c_str(),
               hash.Stream().Error());
    out.Note(hash.Path(), hash.Stream().FailureText());
    return false;
  }
  return FinishPackOutput(hash, out);
}

// The checks that refuse a layout before anything is written: the layout
// -P makes is judged as one read back from an image is.
bool CheckTaggedPartitions(const ResolvedConfig& config, const TaggedLayout& layout,
                           const PackContext& context) {
  Output& out = context.out;
  // The table area holds the vendor record and the form's partitions.
  if (layout.partitions.size() > kTaggedLimits.maxPartitions) {
    out.Printf("Packing Error:too many partitions, %zu found, the table holds at most %zu!\r\n",
               layout.partitions.size(), kTaggedLimits.maxPartitions);
    return false;
  }
  return CheckPartitionNumbers(config.partitions, out) && CheckTaggedPlacement(layout, out);
}

// Writes the planned image into `file`, and for the tagged image its hash
// file, then renames them over the earlier outputs as one change: the same
// sequence for both forms.
bool WriteAndCommit(ImagePlan& plan, AtomicFile& file, SavingDirectory& dir,
                    const PackContext& context, bool withHashFile) {
  Output& out = context.out;
  ImageWriter image(file.Stream(), file.Path(), context.options.fillByte, out);
  if (withHashFile && plan.sequential) image.HashWhileWriting();
  if (!WritePlannedImage(plan, image, out)) return false;
  AtomicFile hash;
  std::vector<AtomicFile*> files = {&file};
  if (withHashFile) {
    out.Line("Generating hash file...\r");
    if (!WriteHashFile(dir, file, image.Digest(), hash, out)) return false;
    files.push_back(&hash);
  }
  // Image and hash file replace the earlier pair together, or not at all.
  return CommitPackOutputs(files, out);
}

bool PackTaggedFirmware(const ResolvedConfig& config, const PackContext& context,
                        SavingDirectory& dir) {
  Output& out = context.out;
  AtomicFile file;
  if (!dir.Create(file, kImageFileName, "Packing Error:Opening %s failed, err=%d!\r\n", out)) {
    return false;
  }
  TaggedFirmwarePlan planned;
  if (!PlanTaggedFirmware(config, context, file.Path(), planned)) return false;
  return WriteAndCommit(planned.plan, file, dir, context, true);
}

// The partition-table image (protective MBR, GPT, partitions, optional
// backup GPT), used when `Gpt_Enable` is "1" (compact: payloads back to
// back, no backup) or "0" (padded: every payload at its sector).
bool PackGptFirmware(const ResolvedConfig& config, const PackContext& context,
                     SavingDirectory& dir) {
  Output& out = context.out;
  if (!config.warningLines.empty()) out.Write(config.warningLines);
  out.Printf("Compact=%d,Backup=%d\r\n", context.options.IsCompact() ? 1 : 0,
             context.options.backup ? 1 : 0);
  AtomicFile file;
  if (!dir.Create(file, kImageFileName, "Packing Error:Opening %s failed, err=%d!\r\n", out)) {
    return false;
  }
  GptFirmwarePlan planned;
  if (!PlanGptFirmware(config, context, file.Path(), planned)) return false;
  if (!WriteAndCommit(planned.plan, file, dir, context, false)) return false;
  out.Line("Generating GPT firmware OK.\r");
  return true;
}

// The configuration as the planners behind the document entry points see
// it: stamped by the caller, with the caller's type GUIDs where given.
ResolvedConfig ResolveForPlanner(const ConfigDocument& document, const PackContext& context,
                                 const GuidMap* guids) {
  ResolvedConfig config;
  // With no moment to resolve nothing is refused here.
  ResolveConfiguration(document, {{}, context.options.configDir, std::nullopt, guids}, config,
                       context.out);
  return config;
}

}  // namespace

bool PlanTaggedFirmware(const ResolvedConfig& config, const PackContext& context,
                        const std::string& imagePath, TaggedFirmwarePlan& planned) {
  PackInput input;
  const bool read = ReadPackInput(config, context, input);
  const TaggedLayout layout = TaggedLayoutOf(config, input);
  planned.partitions = std::move(input.partitions);
  if (!read) return false;  // the partitions as far as they were read
  FirmwareHeader& header = planned.header;
  StampHeader(header, config.packTime);
  header.version = config.identity.version;
  header.chip = config.identity.chip;
  header.model = config.identity.model;
  header.tableSector = (header.headerLength + kSectorSize - 1) / kSectorSize;
  header.entrySize = kEntrySize;
  if (!CheckTaggedPartitions(config, layout, context)) return false;
  header.entryCount = static_cast<uint32_t>(planned.partitions.size() + 1);
  planned.plan = PlanTaggedImage(context, header, planned.partitions, input.files, imagePath);
  return true;
}

bool PlanTaggedFirmware(const ConfigDocument& document, const PackContext& context,
                        const std::string& imagePath, const std::tm& packTime,
                        TaggedFirmwarePlan& planned) {
  ResolvedConfig config = ResolveForPlanner(document, context, nullptr);
  config.packTime = packTime;
  const PackContext resolved{config.options, context.out, context.inputs, context.progress};
  return PlanTaggedFirmware(config, resolved, imagePath, planned);
}

bool PlanGptFirmware(const ConfigDocument& document, const PackContext& context,
                     const GuidMap& guids, const std::string& imagePath, GptFirmwarePlan& planned) {
  const ResolvedConfig config = ResolveForPlanner(document, context, &guids);
  const PackContext resolved{config.options, context.out, context.inputs, context.progress};
  return PlanGptFirmware(config, resolved, imagePath, planned);
}

namespace {

// The first thing a strict run refuses: the first warning told, else the
// missing type GUID section of a partition-table image, which the run
// would warn about on standard output once it has started.
std::optional<std::string> FirstWarning(const ResolvedConfig& config,
                                        const std::string& configPath) {
  if (config.firstWarning) return config.firstWarning;
  if (config.warningLines.empty()) return std::nullopt;
  return configPath + ": [" + std::string(key::kTypeGuidSection) +
         "]: missing, so every type GUID is random";
}

// `fallbackTime` null: SOURCE_DATE_EPOCH or the clock, unless the Date key
// of the configuration names the time.
bool PackLoaded(const std::string& configPath, const std::string& savingDir, Output& out,
                const std::tm* fallbackTime, bool strict) {
  ConfigDocument document;
  if (!document.LoadFile(configPath, false, out)) {
    out.Printf("Packing Error:loading %s failed!\r\n", configPath.c_str());
    return false;
  }
  const PackMoment moment{fallbackTime, std::getenv("SOURCE_DATE_EPOCH"), std::time(nullptr)};
  ResolvedConfig config;
  if (!ResolveConfiguration(document, {configPath, ConfigDirectoryOf(configPath), moment, nullptr},
                            config, out)) {
    return false;
  }
  if (!CheckSavingDir(savingDir, out)) return false;
  const OutputPaths paths = MakeOutputPaths(savingDir);
  const PackOptions& options = config.options;
  const PackContext context{options, out};
  if (!config.diagnostics.empty()) out.WriteDiagnostic(config.diagnostics);
  // A strict run takes every warning as a refusal, before anything is written.
  if (strict) {
    if (const auto first = FirstWarning(config, configPath)) {
      out.Printf("Packing Error:strict: %s\r\n", first->c_str());
      return false;
    }
  }
  if (RefuseConfigReplaced(configPath, paths.image, out) ||
      (!options.IsGpt() && RefuseConfigReplaced(configPath, paths.hash, out))) {
    return false;
  }
  SavingDirectory dir;
  if (!dir.Open(savingDir, paths.image, out)) return false;
  const bool packed = options.IsGpt() ? PackGptFirmware(config, context, dir)
                                      : PackTaggedFirmware(config, context, dir);
  dir.Close();
  if (!packed) return false;
  // The tagged pair is reported once its renames are durable.
  if (!options.IsGpt()) out.Line("Generating firmware OK.\r");
  return true;
}

}  // namespace

bool PackFirmware(const std::string& configPath, const std::string& savingDir, Output& out,
                  const std::tm& packTime, bool strict) {
  return PackLoaded(configPath, savingDir, out, &packTime, strict);
}

bool PackFirmware(const std::string& configPath, const std::string& savingDir, Output& out,
                  bool strict) {
  return PackLoaded(configPath, savingDir, out, nullptr, strict);
}

}  // namespace imgweld
