#include "image/BootBlock.h"

#include <algorithm>
#include <array>

#include "common/ByteIO.h"
#include "image/Checksums.h"

namespace imgweld {
namespace {

constexpr size_t kSector = kSectorSize;
using Sector = std::array<uint8_t, kSector>;

constexpr int32_t kNanoHeaderFailed = -6;
constexpr int32_t kCheckFailed = -6;
constexpr int32_t kNanoCheckFailed = -7;

void FillSignatureSector(Sector& sector, bool nano) {
  sector.fill(0);
  ByteWriter writer(sector);
  writer.U16(boot_signature_at::kTwelve, 12);
  writer.U16(boot_signature_at::kStandard, nano ? 0 : 0xFFFF);
  writer.U16(boot_signature_at::kNano, nano ? 0xFFFF : 0);
  writer.Bytes(boot_signature_at::kMark, LayoutMark(nano));
}

// The check sector's fixed bytes and the three sector checksums, taken
// before any sector is scrambled.
void FillCheckSector(Sector& check, const Sector& header, const Sector& signature,
                     const Sector& spare) {
  check.fill(0);
  ByteWriter writer(check);
  writer.Bytes(boot_check_at::kVc, kCheckVcMark);
  writer.U16(boot_check_at::kHeaderCrc, Crc16(header));
  writer.U16(boot_check_at::kSignatureCrc, Crc16(signature));
  writer.Bytes(boot_check_at::kCrcMark, kCheckCrcMark);
  writer.U16(boot_check_at::kSpareCrc, Crc16(spare));
}

// Places the control sectors and the programs; the check sector gets the
// checksum of the boot code as stored, `codeSectors` from sector 4.
bool PlaceSectors(std::span<uint8_t> block, const Sector& header, const Sector& signature,
                  Sector& check, const Sector& spare, uint32_t codeSectors,
                  std::initializer_list<std::pair<size_t, std::span<const uint8_t>>> programs) {
  ByteWriter writer(block);
  writer.Bytes(0 * kSector, header);
  writer.Bytes(1 * kSector, signature);
  writer.Bytes(3 * kSector, spare);
  for (const auto& [at, program] : programs) writer.Bytes(at, program);
  const size_t codeStart = kBootControlSectors * kSector;
  const size_t codeLength = static_cast<size_t>(codeSectors) * kSector;
  if (!writer.Ok() || codeLength > block.size() - codeStart) return false;
  ByteWriter(check).U32(boot_check_at::kCodeCrc, Crc32Msb(block.subspan(codeStart, codeLength)));
  writer.Bytes(2 * kSector, check);
  return writer.Ok();
}

void ScrambleSectors(std::span<uint8_t> block, std::initializer_list<size_t> sectors) {
  for (size_t sector : sectors) Rc4Crypt(block.subspan(sector * kSector, kSector));
}

}  // namespace

uint32_t ProgramSectors(uint64_t length) {
  return static_cast<uint32_t>((length + 2047) >> 9) & 0xFFFC;
}

uint32_t BootBlockLayout::Sectors() const {
  if (nano) return kNanoLoaderSector + loaderSectors;
  return kBootControlSectors + ddrSectors + loaderSectors;
}

uint32_t BootBlockLayout::LoaderSector() const {
  return nano ? kNanoLoaderSector : kBootControlSectors + ddrSectors;
}

uint32_t BootBlockLayout::CodeSectors() const {
  if (nano) return 2 * kNanoDdrCopySectors + loaderSectors;
  return static_cast<uint16_t>(ddrSectors + loaderSectors);
}

uint64_t BootBlockLayout::WrittenPosition(uint32_t sector) const {
  return uint64_t{sector} * kSector * (gap ? 2 : 1);
}

bool PlanBootBlockLayout(bool nano, bool gap, uint64_t ddrLength, uint64_t loaderLength,
                         BootBlockLayout& layout) {
  layout.nano = nano;
  layout.gap = gap;
  // Sector counts are stored as 16-bit fields; a program that needs more
  // would silently lose its high bits.
  if (ddrLength > kBootProgramMaxLength || loaderLength > kBootProgramMaxLength) return false;
  layout.ddrSectors = ProgramSectors(ddrLength);
  layout.loaderSectors = ProgramSectors(loaderLength);
  // Each Nano DDR copy has 8 sectors; a longer program would run into the
  // second copy and the loader.
  if (nano) return ddrLength <= kNanoDdrLimit;
  // The standard header records the sum of both counts in 16 bits.
  return layout.ddrSectors + layout.loaderSectors <= 0xFFFF;
}

BootBlockLayout BootBlockLayoutOf(const PartitionEntry& entry) {
  const BootFields fields = GetBootFields(entry);
  BootBlockLayout layout;
  layout.nano = IsNanoLayout(fields);
  layout.ddrSectors = ProgramSectors(fields.firstFileLength);
  layout.loaderSectors = ProgramSectors(fields.secondFileLength);
  layout.gap = static_cast<uint32_t>(entry.dataLength) == 2 * uint64_t{layout.Bytes()};
  return layout;
}

uint64_t StoredLoaderSector(const BootFields& fields) {
  if (IsNanoLayout(fields)) return kNanoLoaderSector;
  const uint64_t units = (uint64_t{fields.firstFileLength} + kBootGapUnit - 1) / kBootGapUnit;
  return kBootControlSectors + 4 * units;
}

int32_t BuildIdBlock(std::span<uint8_t> ddr, std::span<uint8_t> loader, std::span<uint8_t> block,
                     uint32_t ddrSectors, uint32_t loaderSectors, uint32_t ddrLength,
                     uint32_t loaderLength, bool scramblePrograms, bool scrambleSectors) {
  namespace at = boot_header_at;
  Sector header{};
  ByteWriter headerWriter(header);
  headerWriter.U32(at::kMagic, kBootMagic);
  headerWriter.U32(at::kPlainPrograms, 1);
  headerWriter.U16(at::kDdrStart, static_cast<uint16_t>(kBootControlSectors));
  headerWriter.U16(at::kDdrStartCopy, static_cast<uint16_t>(kBootControlSectors));
  headerWriter.U16(at::kDdrSectors, static_cast<uint16_t>(ddrSectors));
  const uint16_t codeSectors = static_cast<uint16_t>(ddrSectors + loaderSectors);
  headerWriter.U16(at::kCodeSectors, codeSectors);

  const std::span<uint8_t> ddrBytes = ddr.first(std::min<size_t>(ddrLength, ddr.size()));
  const std::span<uint8_t> loaderBytes =
      loader.first(std::min<size_t>(loaderLength, loader.size()));
  if (scramblePrograms) {
    headerWriter.U32(at::kPlainPrograms, 0);
    ScrambleProgramBlocks(ddrBytes);
    ScrambleProgramBlocks(loaderBytes);
  }

  Sector signature;
  FillSignatureSector(signature, false);
  const Sector spare{};
  Sector check;
  FillCheckSector(check, header, signature, spare);
  if (!PlaceSectors(block, header, signature, check, spare, codeSectors,
                    {{kBootControlSectors * kSector, ddrBytes},
                     {(kBootControlSectors + ddrSectors) * kSector, loaderBytes}})) {
    return kCheckFailed;
  }
  if (scrambleSectors) ScrambleSectors(block, {0, 2, 3});
  return 0;
}

int32_t BuildNanoIdBlock(std::span<uint8_t> ddr, std::span<uint8_t> loader,
                         std::span<uint8_t> block, uint32_t /*ddrSectors*/, uint32_t loaderSectors,
                         uint32_t ddrLength, uint32_t loaderLength, bool scramblePrograms,
                         bool scrambleSectors) {
  namespace at = boot_header_at;
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
  headerWriter.U32(at::kMagic, kBootMagic);
  headerWriter.U32(at::kPlainPrograms, 1);
  headerWriter.U32(at::kNanoLoaderStart, kNanoLoaderSector);
  headerWriter.U32(at::kNanoLoaderSectors, loaderSectors);
  headerWriter.U32(at::kNanoDdr1Start, kNanoFirstDdrSector);
  headerWriter.U32(at::kNanoDdr1Sectors, kNanoDdrCopySectors);
  headerWriter.U32(at::kNanoDdr2Start, kNanoSecondDdrSector);
  headerWriter.U32(at::kNanoDdr2Sectors, kNanoDdrCopySectors);
  for (size_t k = 0; k < kNanoDdrCopySectors; ++k) {
    headerWriter.U16(at::kNanoDdrCrcs + 2 * k,
                     CrcCcitt(std::span<const uint8_t>(ddrArea).subspan(k * kSector, kSector)));
  }
  if (scramblePrograms) {
    headerWriter.U32(at::kPlainPrograms, 0);
    ScrambleProgramBlocks(ddrBytes);
    ScrambleProgramBlocks(loaderBytes);
  }

  Sector signature;
  FillSignatureSector(signature, true);
  const Sector spare{};
  Sector check;
  FillCheckSector(check, header, signature, spare);
  if (!PlaceSectors(block, header, signature, check, spare, 2 * kNanoDdrCopySectors + loaderSectors,
                    {{kNanoFirstDdrSector * kSector, ddrBytes},
                     {kNanoSecondDdrSector * kSector, ddrBytes},
                     {kNanoLoaderSector * kSector, loaderBytes}})) {
    return kNanoCheckFailed;
  }
  if (scrambleSectors) ScrambleSectors(block, {0, 2});
  return 0;
}

void ScrambleProgramBlocks(std::span<uint8_t> program) {
  for (size_t at = 0; at + kSector <= program.size(); at += kSector) {
    Rc4Crypt(program.subspan(at, kSector));
  }
}

std::vector<uint8_t> SpreadWithGaps(std::span<const uint8_t> block) {
  std::vector<uint8_t> spread(2 * block.size(), 0);
  for (size_t at = 0; at < block.size(); at += kBootGapUnit) {
    const size_t chunk = std::min<size_t>(kBootGapUnit, block.size() - at);
    std::copy_n(block.begin() + static_cast<std::ptrdiff_t>(at), chunk,
                spread.begin() + static_cast<std::ptrdiff_t>(2 * at));
  }
  return spread;
}

std::vector<uint8_t> GatherGaps(std::span<const uint8_t> written) {
  std::vector<uint8_t> block;
  block.reserve(written.size() / 2);
  for (size_t at = 0; at < written.size(); at += 2 * kBootGapUnit) {
    const size_t chunk = std::min<size_t>(kBootGapUnit, written.size() - at);
    block.insert(block.end(), written.begin() + static_cast<std::ptrdiff_t>(at),
                 written.begin() + static_cast<std::ptrdiff_t>(at + chunk));
  }
  return block;
}

uint64_t PayloadExtent::End() const {
  if (length == 0) return byteOffset;
  if (!gapped) return byteOffset + length;
  const uint64_t last = length - 1;
  return byteOffset + (last / kBootGapUnit) * 2 * kBootGapUnit + last % kBootGapUnit + 1;
}

PayloadPlace PayloadExtent::Place(uint64_t fileLength) const {
  return PlacePayload(byteOffset, End() - byteOffset, fileLength);
}

uint64_t PayloadExtent::RunAt(uint64_t at, uint64_t& position) const {
  if (!gapped) {
    position = byteOffset + at;
    return length - at;
  }
  const uint64_t unit = at / kBootGapUnit;
  const uint64_t within = at % kBootGapUnit;
  position = byteOffset + unit * 2 * kBootGapUnit + within;
  return std::min<uint64_t>(kBootGapUnit - within, length - at);
}

PayloadExtent StoredDdrProgram(const PartitionEntry& entry) {
  const BootBlockLayout layout = BootBlockLayoutOf(entry);
  return {uint64_t{entry.offset} * kSector + layout.WrittenPosition(layout.DdrSector()),
          GetBootFields(entry).firstFileLength, layout.gap};
}

PayloadExtent StoredLoader(const PartitionEntry& entry) {
  const BootBlockLayout layout = BootBlockLayoutOf(entry);
  const BootFields fields = GetBootFields(entry);
  const uint64_t spread = layout.gap ? 2 : 1;
  return {uint64_t{entry.offset} * kSector + spread * StoredLoaderSector(fields) * kSector,
          fields.secondFileLength, layout.gap};
}

bool HasHeaderMarks(std::span<const uint8_t> sector) {
  return sector.size() >= kSectorSize &&
         ByteReader(sector).U32(boot_header_at::kMagic) == kBootMagic;
}

BootSectors ReadControlSector(std::span<const uint8_t> block, size_t sector,
                              bool (*marked)(std::span<const uint8_t>),
                              std::array<uint8_t, kBootSectorSize>& plain) {
  plain.fill(0);
  if (block.size() / kSector <= sector) return BootSectors::kUnreadable;
  std::copy_n(block.begin() + static_cast<std::ptrdiff_t>(sector * kSector), kSector,
              plain.begin());
  if (marked(plain)) return BootSectors::kPlain;
  Rc4Crypt(plain);
  if (marked(plain)) return BootSectors::kScrambled;
  Rc4Crypt(plain);
  return BootSectors::kUnreadable;
}

bool HasCheckMarks(std::span<const uint8_t> sector) {
  return sector.size() >= kSectorSize &&
         std::equal(kCheckVcMark.begin(), kCheckVcMark.end(),
                    sector.begin() + boot_check_at::kVc) &&
         std::equal(kCheckCrcMark.begin(), kCheckCrcMark.end(),
                    sector.begin() + boot_check_at::kCrcMark);
}

std::vector<PayloadExtent> StoredExtents(const PartitionEntry& entry) {
  if (entry.type == PART_TYPE_IDBLOCK) return {StoredDdrProgram(entry), StoredLoader(entry)};
  return {{uint64_t{entry.offset} * kSectorSize, entry.dataLength}};
}

}  // namespace imgweld
