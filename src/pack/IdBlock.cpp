#include "pack/IdBlock.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "common/ByteIO.h"
#include "config/Settings.h"
#include "image/Checksums.h"

namespace imgweld {
namespace {

constexpr size_t kSector = 512;
constexpr uint32_t kControlSectors = 4;
constexpr uint32_t kNanoLoaderSector = 20;     // after two 8-sector DDR copies
constexpr uint32_t kNanoBootCodeSectors = 16;  // both DDR copies
constexpr size_t kGapChunk = 2048;

using Sector = std::array<uint8_t, kSector>;

constexpr int32_t kNanoHeaderFailed = -6;
constexpr int32_t kCheckFailed = -6;
constexpr int32_t kNanoCheckFailed = -7;

// The boot block of one pair of programs, before it is built.
struct IdBlockLayout {
  bool nano = false;
  bool gap = false;
  uint32_t ddrSectors = 0;
  uint32_t loaderSectors = 0;
  uint32_t sectors = 0;  // the block without gap mode
  uint32_t Bytes() const { return sectors * static_cast<uint32_t>(kSector); }
  uint32_t WrittenBytes() const { return gap ? 2 * Bytes() : Bytes(); }
};

enum class LayoutProblem { kNone, kProgramTooLarge, kNanoDdrTooLarge };

LayoutProblem PlanLayout(const PackContext& context, uint64_t ddrLength, uint64_t loaderLength,
                         IdBlockLayout& layout) {
  layout.nano = IsNanoEnabled(context.document);
  layout.gap = IsBlankGapEnabled(context.document);
  // Sector counts are stored as 16-bit fields; a program that needs more
  // would silently lose its high bits.
  const uint64_t ddrUnits = (ddrLength + 2047) >> 9;
  const uint64_t loaderUnits = (loaderLength + 2047) >> 9;
  if (ddrUnits > 0xFFFF || loaderUnits > 0xFFFF) return LayoutProblem::kProgramTooLarge;
  layout.ddrSectors = ProgramSectors(ddrLength);
  layout.loaderSectors = ProgramSectors(loaderLength);
  if (layout.nano) {
    // Each DDR copy has 8 sectors; a longer program would run into the
    // second copy and the loader.
    if (ddrLength > kNanoDdrLimit) return LayoutProblem::kNanoDdrTooLarge;
    layout.sectors = kNanoLoaderSector + layout.loaderSectors;
  } else {
    // The header records the sum of both counts in 16 bits.
    if (layout.ddrSectors + layout.loaderSectors > 0xFFFF) return LayoutProblem::kProgramTooLarge;
    layout.sectors = kControlSectors + layout.ddrSectors + layout.loaderSectors;
  }
  return LayoutProblem::kNone;
}

struct FileNames {
  std::string ddr;
  std::string loader;
};

std::optional<FileNames> SplitFileText(const std::string& text, Output& out) {
  const size_t comma = text.find(',');
  if (comma == std::string::npos) {
    out.Line("file key should be format as <ddr.bin,loader.bin> in the idblock section!\r");
    return std::nullopt;
  }
  return FileNames{text.substr(0, comma), text.substr(comma + 1)};
}

// Opens both programs; on failure reports the name as configured.
bool OpenPrograms(const PackContext& context, const FileNames& names, File& ddr, File& loader) {
  if (!ddr.Open(context.ResolvePath(names.ddr), "rb")) {
    context.out.Printf("Packing Error:Opening %s failed, err=%d!\r\n", names.ddr.c_str(),
                       ddr.Error());
    return false;
  }
  if (!loader.Open(context.ResolvePath(names.loader), "rb")) {
    context.out.Printf("Packing Error:Opening %s failed, err=%d!\r\n", names.loader.c_str(),
                       loader.Error());
    return false;
  }
  return true;
}

bool ReportLayoutProblem(LayoutProblem problem, const FileNames& names, Output& out) {
  switch (problem) {
    case LayoutProblem::kNone:
      return true;
    case LayoutProblem::kProgramTooLarge:
      out.Printf("Packing Error:idblock files %s,%s are too large!\r\n", names.ddr.c_str(),
                 names.loader.c_str());
      return false;
    case LayoutProblem::kNanoDdrTooLarge:
      out.Printf("Packing Error:ddr file %s is larger than 4096 bytes in nano mode!\r\n",
                 names.ddr.c_str());
      return false;
  }
  return false;
}

// Reads a whole program, which must still be as long as it measured.
bool ReadProgram(File& file, const std::string& name, uint64_t length, std::vector<uint8_t>& bytes,
                 Output& out) {
  bytes.resize(static_cast<size_t>(length));
  if (file.Seek(0) && file.ReadExact(bytes)) return true;
  out.Printf("Packing Error:Reading %s failed, err=%d!\r\n", name.c_str(), file.Error());
  return false;
}

// The scrambling works on whole 512-byte blocks from the program's start;
// a final partial block stays plain.
void ScrambleProgram(std::span<uint8_t> program) {
  for (size_t at = 0; at + kSector <= program.size(); at += kSector) {
    Rc4Crypt(program.subspan(at, kSector));
  }
}

void FillSignatureSector(Sector& sector, bool nano) {
  sector.fill(0);
  ByteWriter writer(sector);
  writer.U16(0, 12);
  writer.U16(2, nano ? 0 : 0xFFFF);
  writer.U16(4, nano ? 0xFFFF : 0);
  const std::array<uint8_t, 4> mark = nano ? std::array<uint8_t, 4>{'N', 'A', 'N', 'O'}
                                           : std::array<uint8_t, 4>{'Z', 'V', '2', '8'};
  writer.Bytes(10, mark);
}

// The check sector's fixed bytes and the three sector checksums, taken
// before any sector is scrambled.
void FillCheckSector(Sector& check, const Sector& header, const Sector& signature,
                     const Sector& spare) {
  check.fill(0);
  ByteWriter writer(check);
  writer.Bytes(491, std::array<uint8_t, 3>{0x56, 0x43, 0x00});
  writer.U16(494, Crc16(header));
  writer.U16(496, Crc16(signature));
  writer.Bytes(506, std::array<uint8_t, 4>{'C', 'R', 'C', 0});
  writer.U16(510, Crc16(spare));
}

// Places the control sectors and the programs; the check sector gets the
// checksum of the boot code as stored, `bootCodeSectors` from sector 4.
bool PlaceSectors(std::span<uint8_t> block, const Sector& header, const Sector& signature,
                  Sector& check, const Sector& spare, uint32_t bootCodeSectors,
                  std::initializer_list<std::pair<size_t, std::span<const uint8_t>>> programs) {
  ByteWriter writer(block);
  writer.Bytes(0 * kSector, header);
  writer.Bytes(1 * kSector, signature);
  writer.Bytes(3 * kSector, spare);
  for (const auto& [at, program] : programs) writer.Bytes(at, program);
  const size_t codeStart = kControlSectors * kSector;
  const size_t codeLength = static_cast<size_t>(bootCodeSectors) * kSector;
  if (!writer.Ok() || codeLength > block.size() - codeStart) return false;
  ByteWriter(check).U32(498, Crc32Msb(block.subspan(codeStart, codeLength)));
  writer.Bytes(2 * kSector, check);
  return writer.Ok();
}

void ScrambleSectors(std::span<uint8_t> block, std::initializer_list<size_t> sectors) {
  for (size_t sector : sectors) Rc4Crypt(block.subspan(sector * kSector, kSector));
}

// Every 2048 bytes of the block followed by 2048 zero bytes.
std::vector<uint8_t> SpreadWithGaps(std::span<const uint8_t> block) {
  std::vector<uint8_t> spread(2 * block.size(), 0);
  for (size_t at = 0; at < block.size(); at += kGapChunk) {
    const size_t chunk = std::min(kGapChunk, block.size() - at);
    std::copy_n(block.begin() + static_cast<std::ptrdiff_t>(at), chunk,
                spread.begin() + static_cast<std::ptrdiff_t>(2 * at));
  }
  return spread;
}

}  // namespace

uint32_t ProgramSectors(uint64_t length) {
  return static_cast<uint32_t>((length + 2047) >> 9) & 0xFFFC;
}

int32_t BuildIdBlock(std::span<uint8_t> ddr, std::span<uint8_t> loader, std::span<uint8_t> block,
                     uint32_t ddrSectors, uint32_t loaderSectors, uint32_t ddrLength,
                     uint32_t loaderLength, bool scramblePrograms, bool scrambleSectors) {
  Sector header{};
  ByteWriter headerWriter(header);
  headerWriter.U32(0, kIdBlockMagic);
  headerWriter.U32(8, 1);
  headerWriter.U16(12, static_cast<uint16_t>(kControlSectors));
  headerWriter.U16(14, 4);
  headerWriter.U16(506, static_cast<uint16_t>(ddrSectors));
  const uint16_t bootCodeSectors = static_cast<uint16_t>(ddrSectors + loaderSectors);
  headerWriter.U16(508, bootCodeSectors);

  const std::span<uint8_t> ddrBytes = ddr.first(std::min<size_t>(ddrLength, ddr.size()));
  const std::span<uint8_t> loaderBytes =
      loader.first(std::min<size_t>(loaderLength, loader.size()));
  if (scramblePrograms) {
    headerWriter.U32(8, 0);
    ScrambleProgram(ddrBytes);
    ScrambleProgram(loaderBytes);
  }

  Sector signature;
  FillSignatureSector(signature, false);
  const Sector spare{};
  Sector check;
  FillCheckSector(check, header, signature, spare);
  if (!PlaceSectors(block, header, signature, check, spare, bootCodeSectors,
                    {{kControlSectors * kSector, ddrBytes},
                     {(kControlSectors + ddrSectors) * kSector, loaderBytes}})) {
    return kCheckFailed;
  }
  if (scrambleSectors) ScrambleSectors(block, {0, 2, 3});
  return 0;
}

int32_t BuildNanoIdBlock(std::span<uint8_t> ddr, std::span<uint8_t> loader,
                         std::span<uint8_t> block, uint32_t /*ddrSectors*/, uint32_t loaderSectors,
                         uint32_t ddrLength, uint32_t loaderLength, bool scramblePrograms,
                         bool scrambleSectors) {
  const std::span<uint8_t> ddrBytes = ddr.first(std::min<size_t>(ddrLength, ddr.size()));
  const std::span<uint8_t> loaderBytes =
      loader.first(std::min<size_t>(loaderLength, loader.size()));
  // Each DDR copy has room for 4096 bytes, and the eight checksums cover
  // exactly that room; bytes past the program's end count as the zero bytes
  // the copy area holds there.
  if (ddrBytes.size() > kNanoDdrLimit) return kNanoHeaderFailed;
  std::array<uint8_t, kNanoDdrLimit> ddrArea{};
  std::copy(ddrBytes.begin(), ddrBytes.end(), ddrArea.begin());

  Sector header{};
  ByteWriter headerWriter(header);
  headerWriter.U32(0, kIdBlockMagic);
  headerWriter.U32(8, 1);
  headerWriter.U32(56, kNanoLoaderSector);
  headerWriter.U32(60, loaderSectors);
  headerWriter.U32(64, 4);
  headerWriter.U32(68, 8);
  headerWriter.U32(72, 12);
  headerWriter.U32(76, 8);
  for (size_t k = 0; k < 8; ++k) {
    headerWriter.U16(80 + 2 * k,
                     CrcCcitt(std::span<const uint8_t>(ddrArea).subspan(k * kSector, kSector)));
  }
  if (scramblePrograms) {
    headerWriter.U32(8, 0);
    ScrambleProgram(ddrBytes);
    ScrambleProgram(loaderBytes);
  }

  Sector signature;
  FillSignatureSector(signature, true);
  const Sector spare{};
  Sector check;
  FillCheckSector(check, header, signature, spare);
  if (!PlaceSectors(block, header, signature, check, spare, kNanoBootCodeSectors + loaderSectors,
                    {{4 * kSector, ddrBytes},
                     {12 * kSector, ddrBytes},
                     {kNanoLoaderSector * kSector, loaderBytes}})) {
    return kNanoCheckFailed;
  }
  if (scrambleSectors) ScrambleSectors(block, {0, 2});
  return 0;
}

uint32_t GetIdBlockSize(const PackContext& context, const PartitionEntry& entry) {
  const std::optional<FileNames> names = SplitFileText(entry.sourceFile, context.out);
  if (!names) return kIdBlockFailed;
  File ddr;
  File loader;
  if (!OpenPrograms(context, *names, ddr, loader)) return kIdBlockFailed;
  const uint64_t ddrLength = GetStreamLength(&ddr);
  const uint64_t loaderLength = GetStreamLength(&loader);
  IdBlockLayout layout;
  if (ddrLength == kNoLength || loaderLength == kNoLength ||
      PlanLayout(context, ddrLength, loaderLength, layout) != LayoutProblem::kNone) {
    return kIdBlockFailed;
  }
  return layout.WrittenBytes();
}

bool WriteIdBlock(ImageWriter& image, const PackContext& context, PartitionEntry& entry) {
  const std::string fileText = std::move(entry.sourceFile);
  entry.sourceFile.clear();
  const std::optional<FileNames> names = SplitFileText(fileText, context.out);
  if (!names) return false;

  entry.offset = std::max(entry.offset, kIdBlockMinOffset);
  const bool compact = IsGptEnabled(context.document);
  const std::optional<uint32_t> start = SectorPosition(entry.offset);
  const std::optional<uint32_t> end = SectorPosition(uint64_t{entry.offset} + entry.size);
  if (!compact) {
    if (!start || !end) {
      context.out.Printf("Packing Error:partition %s does not fit below 4 GiB!\r\n",
                         entry.Name().c_str());
      return false;
    }
    if (!image.FillToOffset(*start)) return false;
  }

  File ddr;
  File loader;
  if (!OpenPrograms(context, *names, ddr, loader)) return false;
  const uint64_t ddrLength = GetStreamLength(&ddr);
  const uint64_t loaderLength = GetStreamLength(&loader);
  if (ddrLength == kNoLength || loaderLength == kNoLength) {
    const bool ddrFailed = ddrLength == kNoLength;
    context.out.Printf("Packing Error:Reading %s failed, err=%d!\r\n",
                       (ddrFailed ? names->ddr : names->loader).c_str(),
                       (ddrFailed ? ddr : loader).Error());
    return false;
  }
  IdBlockLayout layout;
  if (!ReportLayoutProblem(PlanLayout(context, ddrLength, loaderLength, layout), *names,
                           context.out)) {
    return false;
  }
  // The second copy starts at the partition's middle sector; the partition
  // must hold both copies without one overwriting the other.
  if (!compact && uint64_t{entry.size} * kSector < 2 * uint64_t{layout.WrittenBytes()}) {
    context.out.Printf(
        "Packing Error:idblock partition %s is too small for two copies of the idblock!\r\n",
        entry.Name().c_str());
    return false;
  }

  BootFields fields;
  fields.bootLayout = layout.nano ? 1 : 0;
  fields.firstFileLength = static_cast<uint32_t>(ddrLength);
  fields.secondFileLength = static_cast<uint32_t>(loaderLength);
  SetBootFields(entry, fields);

  std::vector<uint8_t> ddrBytes;
  std::vector<uint8_t> loaderBytes;
  if (!ReadProgram(ddr, names->ddr, ddrLength, ddrBytes, context.out) ||
      !ReadProgram(loader, names->loader, loaderLength, loaderBytes, context.out)) {
    return false;
  }
  std::vector<uint8_t> block(layout.Bytes(), 0);
  const bool scramblePrograms = static_cast<uint8_t>(GetLoaderEncrypt(context.document)) != 0;
  const bool scrambleSectors = static_cast<uint8_t>(GetIdbBootEncrypt(context.document)) != 0;
  const auto build = layout.nano ? BuildNanoIdBlock : BuildIdBlock;
  const int32_t result =
      build(ddrBytes, loaderBytes, block, layout.ddrSectors, layout.loaderSectors,
            fields.firstFileLength, fields.secondFileLength, scramblePrograms, scrambleSectors);
  if (result != 0) {
    context.out.Printf("Packing Error:Generating idblock failed, err=%d!\r\n", result);
    return false;
  }
  if (layout.gap) block = SpreadWithGaps(block);
  entry.dataLength = block.size();

  if (!image.Write(block)) return false;
  if (compact) return true;
  const uint32_t middle = *start + (entry.size / 2) * static_cast<uint32_t>(kSector);
  return image.FillToOffset(middle) && image.Write(block) && image.FillToOffset(*end);
}

}  // namespace imgweld
