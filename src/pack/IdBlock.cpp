#include "pack/IdBlock.h"

#include <algorithm>
#include <optional>

#include "common/File.h"
#include "pack/ImageWriter.h"

namespace imgweld {
namespace {

struct FileNames {
  std::string ddr;
  std::string loader;
};

// The helpers below find a failure before the boot block's turn to be
// written; they describe it in `failure`, which the size query prints at
// once and the plan keeps for the point where the block would be written.

bool SplitFileText(const std::string& text, FileNames& names, PlanFailure& failure) {
  const size_t comma = text.find(',');
  if (comma == std::string::npos) {
    failure = {"file key should be format as <ddr.bin,loader.bin> in the idblock section!\r\n"};
    return false;
  }
  names = {text.substr(0, comma), text.substr(comma + 1)};
  return true;
}

// Opens both programs; on failure names the one as configured.
bool OpenPrograms(const PackContext& context, const FileNames& names, File& ddr, File& loader,
                  PlanFailure& failure) {
  for (const auto& [name, file] : {std::pair<const std::string&, File&>{names.ddr, ddr},
                                   std::pair<const std::string&, File&>{names.loader, loader}}) {
    if (context.OpenInput(name, file)) continue;
    failure = {Format("Packing Error:Opening %s failed, err=%d!\r\n", name.c_str(), file.Error()),
               name, file.FailureText()};
    return false;
  }
  return true;
}

// Why no boot block holds the programs, in the order the limits are
// checked: a program past 16-bit sector counts, then a Nano DDR program past
// its copy area, then the standard header's sum of counts.
PlanFailure LayoutFailure(bool nano, uint64_t ddrLength, uint64_t loaderLength,
                          const FileNames& names) {
  const bool countsFit =
      ddrLength <= kBootProgramMaxLength && loaderLength <= kBootProgramMaxLength;
  if (nano && countsFit && ddrLength > kNanoDdrLimit) {
    return {Format("Packing Error:ddr file %s is larger than 4096 bytes in nano mode!\r\n",
                   names.ddr.c_str())};
  }
  return {Format("Packing Error:idblock files %s,%s are too large!\r\n", names.ddr.c_str(),
                 names.loader.c_str())};
}

PlanFailure ReadFailure(const std::string& name, const File& file) {
  return {Format("Packing Error:Reading %s failed, err=%d!\r\n", name.c_str(), file.Error()), name,
          file.FailureText()};
}

// Reads a whole program, which must still be as long as it measured.
bool ReadProgram(File& file, const std::string& name, uint64_t length, std::vector<uint8_t>& bytes,
                 PlanFailure& failure) {
  bytes.resize(static_cast<size_t>(length));
  if (file.Seek(0) && file.ReadExact(bytes)) return true;
  failure = ReadFailure(name, file);
  return false;
}

// The block and its table fields, or false with `failure` set.
bool BuildPlannedBlock(const PackContext& context, PartitionEntry& entry,
                       const std::string& fileText, BootPrograms& programs, PlannedIdBlock& planned,
                       PlanFailure& failure) {
  std::vector<uint8_t>& block = planned.block;
  FileNames names;
  if (!SplitFileText(fileText, names, failure)) return false;
  entry.offset = std::max(entry.offset, kBootMinOffset);
  const bool compact = context.options.IsCompact();
  if (!compact &&
      (!SectorPosition(entry.offset) || !SectorPosition(uint64_t{entry.offset} + entry.size))) {
    failure = {
        Format("Packing Error:partition %s does not fit below 4 GiB!\r\n", entry.Name().c_str())};
    return false;
  }
  File& ddr = programs.ddr;
  File& loader = programs.loader;
  if (!ddr.IsOpen() || !loader.IsOpen()) {
    programs = BootPrograms{};
    if (!OpenPrograms(context, names, ddr, loader, failure)) return false;
  }
  const uint64_t ddrLength = GetStreamLength(&ddr);
  const uint64_t loaderLength = GetStreamLength(&loader);
  if (ddrLength == kNoLength || loaderLength == kNoLength) {
    const bool ddrFailed = ddrLength == kNoLength;
    failure = ReadFailure(ddrFailed ? names.ddr : names.loader, ddrFailed ? ddr : loader);
    return false;
  }
  for (const auto& [name, file] : {std::pair<const std::string&, File&>{names.ddr, ddr},
                                   std::pair<const std::string&, File&>{names.loader, loader}}) {
    const std::optional<InputStamp> stamp = StampOf(fileno(file.Stream()));
    if (stamp) planned.inputs.push_back({name, file.Path(), *stamp});
  }
  BootBlockLayout layout;
  if (!PlanBootBlockLayout(context.options.nano, context.options.blankGap, ddrLength, loaderLength,
                           layout)) {
    failure = LayoutFailure(context.options.nano, ddrLength, loaderLength, names);
    return false;
  }
  // The second copy starts at the partition's middle sector; the partition
  // must hold both copies without one overwriting the other.
  if (!compact && uint64_t{entry.size} * kSectorSize < 2 * uint64_t{layout.WrittenBytes()}) {
    failure = {
        Format("Packing Error:idblock partition %s is too small for two copies of the idblock!\r\n",
               entry.Name().c_str())};
    return false;
  }
  BootFields fields;
  fields.bootLayout = layout.nano ? kBootLayoutNano : 0;
  fields.firstFileLength = static_cast<uint32_t>(ddrLength);
  fields.secondFileLength = static_cast<uint32_t>(loaderLength);
  SetBootFields(entry, fields);

  std::vector<uint8_t> ddrBytes;
  std::vector<uint8_t> loaderBytes;
  if (!ReadProgram(ddr, names.ddr, ddrLength, ddrBytes, failure) ||
      !ReadProgram(loader, names.loader, loaderLength, loaderBytes, failure)) {
    return false;
  }
  // Files extracted as stored are deciphered first, so that the Nano DDR
  // checksums cover the plain program; building scrambles them again.
  if (context.options.programsGivenScrambled) {
    ScrambleProgramBlocks(ddrBytes);
    ScrambleProgramBlocks(loaderBytes);
  }
  block.assign(layout.Bytes(), 0);
  const auto build = layout.nano ? BuildNanoIdBlock : BuildIdBlock;
  const int32_t result = build(
      ddrBytes, loaderBytes, block, layout.ddrSectors, layout.loaderSectors, fields.firstFileLength,
      fields.secondFileLength, context.options.scramblePrograms, context.options.scrambleSectors);
  if (result != 0) {
    failure = {Format("Packing Error:Generating idblock failed, err=%d!\r\n", result)};
    return false;
  }
  if (layout.gap) block = SpreadWithGaps(block);
  entry.dataLength = block.size();
  return true;
}

}  // namespace

uint32_t GetIdBlockSize(const PackContext& context, const PartitionEntry& entry) {
  BootPrograms programs;
  return GetIdBlockSize(context, entry, programs);
}

uint32_t GetIdBlockSize(const PackContext& context, const PartitionEntry& entry,
                        BootPrograms& programs) {
  FileNames names;
  PlanFailure failure;
  File& ddr = programs.ddr;
  File& loader = programs.loader;
  if (!SplitFileText(entry.sourceFile, names, failure) ||
      !OpenPrograms(context, names, ddr, loader, failure)) {
    failure.Print(context.out);
    return kIdBlockFailed;
  }
  const uint64_t ddrLength = GetStreamLength(&ddr);
  const uint64_t loaderLength = GetStreamLength(&loader);
  BootBlockLayout layout;
  if (ddrLength == kNoLength || loaderLength == kNoLength ||
      !PlanBootBlockLayout(context.options.nano, context.options.blankGap, ddrLength, loaderLength,
                           layout)) {
    return kIdBlockFailed;
  }
  return layout.WrittenBytes();
}

bool PlanIdBlock(PlanBuilder& plan, const PackContext& context, PartitionEntry& entry,
                 const std::string& fileText, PlannedIdBlock& planned, BootPrograms* programs) {
  BootPrograms opened;
  PlanFailure failure;
  if (BuildPlannedBlock(context, entry, fileText, programs != nullptr ? *programs : opened, planned,
                        failure)) {
    return true;
  }
  planned = PlannedIdBlock{};
  plan.Fail(std::move(failure));
  return false;
}

}  // namespace imgweld
