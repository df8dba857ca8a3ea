#include "inspect/GptRebuildConfig.h"

#include <algorithm>
#include <optional>

#include "common/ByteIO.h"
#include "config/ConfigDocument.h"
#include "config/ConfigKeys.h"
#include "config/IniWriter.h"
#include "image/BootBlock.h"
#include "image/Checksums.h"
#include "image/GptRecords.h"
#include "image/gpt/GptLayout.h"
#include "inspect/ForeignGptKit.h"
#include "inspect/RebuildConfig.h"
#include "pack/GptWriter.h"
#include "unpack/OutputNames.h"
#include "unpack/UnpackSettings.h"

namespace imgweld {
namespace {

constexpr uint64_t kSector = kSectorSize;
constexpr uint64_t kBackupSectors = kGptBackupSectors;
constexpr uint64_t kDataStart = kGptFirstUsableLba * kSector;
constexpr uint32_t kOrdinaryType = 0x8;
// Payloads of one repeated byte make more than one choice of fill partitions
// look right; the search stops after so many.
constexpr size_t kMaxFillChoices = 4096;
// The Nano layout's DDR copy area holds at most 8 whole 512-byte blocks.
constexpr uint32_t kNanoDdrBlocks = kNanoDdrLimit / kSectorSize;
// The longest block the packer writes: its sector counts are 16-bit, and
// gap mode doubles it.
constexpr uint64_t kBootMaxWritten = 2 * (kBootControlSectors + 0xFFFFu) * kSector;

// A boot block as the image holds it, with the settings that build it again.
struct FoundBootBlock {
  BootBlockLayout layout;
  bool scrambleSectors = false;
  bool programsScrambled = false;
  uint32_t ddrLength = 0;
  uint32_t loaderLength = 0;
};

// The signature sector, which is never scrambled, carries the Nano mark.
bool HasNanoMark(std::span<const uint8_t> block) {
  return block.size() >= 2 * kSector &&
         std::equal(kNanoMark.begin(), kNanoMark.end(),
                    block.begin() + kSector + boot_signature_at::kMark);
}

// Builds the block from the programs as a kit extracts them (`block` as
// stored, without gaps) under the found settings; whether it is `block`.
bool Rebuilds(std::span<const uint8_t> block, const FoundBootBlock& found) {
  const BootBlockLayout& layout = found.layout;
  const size_t ddrAt = size_t{layout.DdrSector()} * kSector;
  const size_t loaderAt = size_t{layout.LoaderSector()} * kSector;
  if (layout.Bytes() != block.size() || ddrAt + found.ddrLength > block.size() ||
      loaderAt + found.loaderLength > block.size()) {
    return false;
  }
  std::vector<uint8_t> ddr(block.begin() + static_cast<std::ptrdiff_t>(ddrAt),
                           block.begin() + static_cast<std::ptrdiff_t>(ddrAt + found.ddrLength));
  std::vector<uint8_t> loader(
      block.begin() + static_cast<std::ptrdiff_t>(loaderAt),
      block.begin() + static_cast<std::ptrdiff_t>(loaderAt + found.loaderLength));
  if (found.programsScrambled) {
    ScrambleProgramBlocks(ddr);
    ScrambleProgramBlocks(loader);
  }
  std::vector<uint8_t> built(layout.Bytes(), 0);
  const auto build = layout.nano ? BuildNanoIdBlock : BuildIdBlock;
  return build(ddr, loader, built, layout.ddrSectors, layout.loaderSectors, found.ddrLength,
               found.loaderLength, found.programsScrambled, found.scrambleSectors) == 0 &&
         std::equal(built.begin(), built.end(), block.begin());
}

// The program lengths a block may have been built from. The table keeps no
// length, only the sectors; a program longer than its bytes in the block
// changes nothing but which 512-byte blocks a scrambled program has
// scrambled, and the Nano DDR checksums, taken of the plain program, show
// that: so the Nano DDR program is tried at every count of whole blocks.
std::vector<std::pair<uint32_t, uint32_t>> CandidateLengths(bool nano, ByteReader header) {
  std::vector<std::pair<uint32_t, uint32_t>> lengths;
  if (!nano) {
    const uint32_t ddr = header.U16(boot_header_at::kDdrSectors);
    const uint32_t code = header.U16(boot_header_at::kCodeSectors);
    if (code >= ddr) lengths.emplace_back(ddr * kSectorSize, (code - ddr) * kSectorSize);
    return lengths;
  }
  const uint32_t loader = header.U32(boot_header_at::kNanoLoaderSectors) * kSectorSize;
  for (uint32_t blocks = 0; blocks <= kNanoDdrBlocks; ++blocks) {
    const uint32_t ddr = std::min(blocks * kSectorSize + kSectorSize - 1, kNanoDdrLimit);
    lengths.emplace_back(blocks == 0 ? 0 : ddr, loader);
    if (blocks == 0) lengths.emplace_back(kSectorSize - 1, loader);
  }
  return lengths;
}

// The boot block in `written` (its first copy as the image holds it), or
// nothing when these bytes are no block the packer builds.
std::optional<FoundBootBlock> FindBootBlock(const std::vector<uint8_t>& written) {
  SectorBytes header{};
  SectorBytes check{};
  for (const bool gap : {false, true}) {
    const std::vector<uint8_t> block = gap ? GatherGaps(written) : written;
    if (gap && SpreadWithGaps(block) != written) continue;
    const BootSectors headerStored = ReadControlSector(block, 0, HasHeaderMarks, header);
    const BootSectors checkStored = ReadControlSector(block, 2, HasCheckMarks, check);
    if (headerStored == BootSectors::kUnreadable || checkStored != headerStored) continue;
    FoundBootBlock found;
    found.scrambleSectors = headerStored == BootSectors::kScrambled;
    found.programsScrambled = ByteReader(header).U32(boot_header_at::kPlainPrograms) == 0;
    const bool nano = HasNanoMark(block);
    for (const auto& [ddr, loader] : CandidateLengths(nano, ByteReader(header))) {
      if (!PlanBootBlockLayout(nano, gap, ddr, loader, found.layout)) continue;
      found.ddrLength = ddr;
      found.loaderLength = loader;
      if (Rebuilds(block, found)) return found;
    }
  }
  return std::nullopt;
}

bool SameSettings(const FoundBootBlock& a, const FoundBootBlock& b) {
  return a.layout.nano == b.layout.nano && a.layout.gap == b.layout.gap &&
         a.scrambleSectors == b.scrambleSectors && a.programsScrambled == b.programsScrambled;
}

class GptRebuild {
 public:
  GptRebuild(ImageSource& source, const GptImageFacts& facts, const std::string& where, Output& out)
      : source_(source), facts_(facts), refusal_{out, where, kCannotBeTakenApart} {}

  bool Run(Kit& kit);

 private:
  bool Fail(const std::string& text) { return refusal_.Fail(text); }
  bool CheckTable();
  bool RecordPartition(size_t index);
  bool RecordBootBlock(PartitionSettings& partition, uint64_t at, uint64_t length);
  uint8_t FindFillByte();
  bool Grows(size_t index) const;
  uint64_t AreaEnd(size_t index) const;
  bool DecideCompactFills(size_t index, uint64_t cursor, std::optional<uint8_t> fill);

  ImageSource& source_;
  const GptImageFacts& facts_;
  const RebuildReport refusal_;
  ConfigDocument document_;
  Kit kit_;
  bool compact_ = false;
  uint64_t dataEnd_ = 0;          // where the partitions' bytes end: the backup GPT follows
  uint64_t cursor_ = kDataStart;  // compact: where the next payload lies
  GptKitNames names_;
  // Bytes a payload or boot block copy takes, for finding the fill byte.
  std::vector<std::pair<uint64_t, uint64_t>> taken_;
  // The settings of the first boot block: every later one is built under
  // the same [System] keys, so it must read with them.
  std::optional<FoundBootBlock> firstBoot_;
  // Compact layout: which partitions without payload were filled, by index,
  // and how many more choices the search may try.
  std::vector<bool> filled_;
  size_t choicesLeft_ = kMaxFillChoices;
};

bool GptRebuild::Grows(size_t index) const {
  const GptEntryFacts& e = facts_.entries[index];
  return index + 1 == facts_.entries.size() && facts_.DiskEnd() == std::nullopt &&
         e.entry.lastLba == facts_.header.lastUsableLba;
}

// The byte where a partition's area ends; a growing last one has lost its
// size and reaches the end of the partitions' bytes.
uint64_t GptRebuild::AreaEnd(size_t index) const {
  const GptEntry& e = facts_.entries[index].entry;
  const uint64_t start = e.firstLba * kSector;
  if (Grows(index)) return start < dataEnd_ ? start + (dataEnd_ - start) / kSector * kSector : 0;
  return e.lastLba >= e.firstLba ? (e.lastLba + 1) * kSector : 0;
}

// In the compact layout the payloads follow each other, and a fill
// partition moves the next one to the end of its area where that lies
// further: whether a partition without payload was filled or skipped
// decides where every later payload lies. The GPT does not say, so the
// choices are searched from `index` on, the cursor at `cursor`: each fill
// must hold one byte, the same for all, and the last payload or fill must
// end the image. Payload bytes are never all one byte for long, so one
// choice remains; the byte comparison of the rebuilt image confirms it.
bool GptRebuild::DecideCompactFills(size_t index, uint64_t cursor, std::optional<uint8_t> fill) {
  for (; index < facts_.entries.size(); ++index) {
    const uint64_t length = facts_.entries[index].recordedLength.value_or(0);
    if (length > 0) {
      cursor += length;
      continue;
    }
    const uint64_t end = AreaEnd(index);
    if (end <= cursor || end > dataEnd_) continue;  // either way nothing is written
    std::array<uint8_t, 1> first{};
    if (choicesLeft_ == 0) return false;
    --choicesLeft_;
    if (source_.Read(cursor, first) && (!fill || *fill == first[0]) &&
        CompareToFill(source_, cursor, end - cursor, first[0]) == ByteMatch::kEqual) {
      filled_[index] = true;
      if (DecideCompactFills(index + 1, end, first[0])) return true;
      filled_[index] = false;
    }
  }
  return cursor == dataEnd_;
}

bool GptRebuild::CheckTable() {
  // A failed check of the listing is not refused here: the packer makes
  // images the listing finds fault with (a partition past the usable sectors
  // when the list does not end with the last one), and a damaged checksum
  // shows in the comparison with the rebuilt image.
  const GptHeader& h = facts_.header;
  if (h.layoutMarker != kGptCompactMarker && h.layoutMarker != kGptPaddedMarker) {
    return Fail("its GPT header has no layout mark of the packer's");
  }
  if (h.partitionCount == 0) return Fail("it has no partition");
  if (h.partitionCount > kMaxGptPartitions || facts_.entries.size() != h.partitionCount) {
    return Fail("its partition array holds entries the header does not count");
  }
  if (h.backupEnabled > 1) return Fail(Format("the backup flag is %u", h.backupEnabled));
  compact_ = facts_.Compact();
  const bool backup = !compact_ && h.backupEnabled == 1;
  dataEnd_ = facts_.fileLength;
  if (backup) {
    if (dataEnd_ < kDataStart + kBackupSectors * kSector) return Fail("it has no backup GPT");
    dataEnd_ -= kBackupSectors * kSector;
  }
  return true;
}

bool GptRebuild::RecordBootBlock(PartitionSettings& partition, uint64_t at, uint64_t length) {
  // Only a partition whose first sector is a boot block's header sector is
  // read whole.
  SectorBytes first{};
  SectorBytes plain{};
  if (length > kBootMaxWritten || length < kSector || at + length > source_.Length() ||
      !source_.Read(at, first) ||
      ReadControlSector(first, 0, HasHeaderMarks, plain) == BootSectors::kUnreadable) {
    return false;
  }
  std::vector<uint8_t> written(static_cast<size_t>(length));
  if (!source_.Read(at, written)) return false;
  const std::optional<FoundBootBlock> found = FindBootBlock(written);
  if (!found || (firstBoot_ && !SameSettings(*firstBoot_, *found))) return false;
  const BootBlockLayout& layout = found->layout;
  const bool nano = layout.nano;
  if (!firstBoot_) {
    firstBoot_ = found;
    WriteSystemValue(document_, key::kNano, nano ? "1" : "0");
    WriteSystemValue(document_, key::kBlankGap, layout.gap ? "1" : "0");
    WriteSystemValue(document_, key::kLoaderEncrypt, found->programsScrambled ? "1" : "0");
    WriteSystemValue(document_, key::kLoaderScrambled, found->programsScrambled ? "1" : "0");
    WriteSystemValue(document_, key::kIdbBootEncrypt, found->scrambleSectors ? "1" : "0");
  }
  const BootFileNames names = BootProgramFileNames(nano);
  const std::string ddrName = names_.Take(names.ddr);
  const std::string loaderName = names_.Take(names.loader);
  kit_.files.push_back(
      {ddrName,
       {at + layout.WrittenPosition(layout.DdrSector()), found->ddrLength, layout.gap},
       true});
  kit_.files.push_back(
      {loaderName,
       {at + layout.WrittenPosition(layout.LoaderSector()), found->loaderLength, layout.gap},
       true});
  partition.type = PART_TYPE_IDBLOCK;
  partition.file = ddrName + "," + loaderName;
  taken_.emplace_back(at, at + length);
  if (!compact_) {
    const uint64_t second =
        SecondBootCopySector(partition.offset, partition.size.value_or(0)) * kSector;
    taken_.emplace_back(second, second + length);
  }
  return true;
}

bool GptRebuild::RecordPartition(size_t index) {
  const GptEntryFacts& e = facts_.entries[index];
  const bool grows = Grows(index);
  // Entries are counted from 1 in messages, as GPT tools count them.
  const uint32_t number = e.index + 1;
  const std::optional<std::string> name = NarrowName(e.entry.name);
  if (!name) return Fail(Format("the name of entry %u is no text the packer writes", number));
  if (name->size() >= PartitionEntry{}.name.size()) {
    return Fail(Format("the name of entry %u is longer than a partition's name", number));
  }
  if (!GptNameCanBeCarried(*name)) {
    return Fail(
        Format("the name of entry %u holds text a configuration file cannot carry", number));
  }
  if (e.entry.firstLba > 0xFFFFFFFFu ||
      (!grows &&
       (e.entry.lastLba < e.entry.firstLba || e.entry.lastLba - e.entry.firstLba >= 0xFFFFFFFFu))) {
    return Fail(Format("entry %u lies where no partition of a configuration can", number));
  }
  PartitionSettings partition;
  partition.name = *name;
  partition.type = kOrdinaryType;
  partition.offset = static_cast<uint32_t>(e.entry.firstLba);
  partition.size = grows ? 0 : static_cast<uint32_t>(e.entry.lastLba - e.entry.firstLba + 1);
  partition.typeGuid = names_.TypeKeyOf(e.entry.typeGuid, document_);
  partition.uniqueGuid = GuidText(e.entry.uniqueGuid);
  partition.attributes = e.entry.attributes;
  const uint64_t length = e.recordedLength.value_or(0);
  const uint64_t at = compact_ ? cursor_ : e.entry.firstLba * kSector;
  if (length > 0 && RecordBootBlock(partition, at, length)) {
    cursor_ += length;
  } else if (length > 0) {
    // The padded layout pads a payload to the end of its area, unless it
    // grows: a payload the image ends inside the area of grew.
    const uint64_t areaEnd = at + uint64_t{*partition.size} * kSector;
    const bool grew =
        grows || length > uint64_t{*partition.size} * kSector || (!compact_ && dataEnd_ < areaEnd);
    partition.flag = grew ? PART_FLAG_GROW : 0;
    partition.file = names_.FileOf(*name, number);
    kit_.files.push_back({partition.file, {at, length, false}, false});
    taken_.emplace_back(at, at + length);
    cursor_ += length;
  } else {
    // No payload: the partition was filled or skipped. A fill writes the fill
    // byte up to its end only where that extends the image, so it is the
    // fill that makes the image reach that far; a growing last one has
    // lost its size and is given the sectors up to the image's end.
    const uint64_t start = e.entry.firstLba * kSector;
    if (grows) partition.size = start < dataEnd_ ? (dataEnd_ - start) / kSector : 0;
    const uint64_t end = start + uint64_t{*partition.size} * kSector;
    // Padded, a gap holds the fill byte either way: only a fill that ends
    // the partitions' bytes made them reach that far.
    const bool fill = compact_ ? filled_[index] : end == dataEnd_ && *partition.size > 0;
    partition.flag = (fill ? PART_FLAG_FILL : PART_FLAG_SKIP) | (grows ? PART_FLAG_GROW : 0);
    if (fill && compact_) cursor_ = end;
  }
  WritePartitionSection(document_, index + 1, partition);
  return true;
}

// The first byte after the GPT that no payload or boot block takes shows
// the fill byte; 0 when every byte is taken.
uint8_t GptRebuild::FindFillByte() {
  std::sort(taken_.begin(), taken_.end());
  uint64_t position = kDataStart;
  for (const auto& [start, end] : taken_) {
    if (start > position) break;
    position = std::max(position, end);
  }
  std::array<uint8_t, 1> byte{};
  if (position >= dataEnd_ || !source_.Read(position, byte)) return 0;
  return byte[0];
}

bool GptRebuild::Run(Kit& kit) {
  if (!CheckTable()) return false;
  const GptHeader& h = facts_.header;
  WriteSystemValue(document_, key::kGptEnable, compact_ ? "1" : "0");
  WriteSystemValue(document_, key::kBackupPartitionEnable, h.backupEnabled == 1 ? "1" : "0");
  WriteSystemValue(document_, key::kFillByte, "");
  WriteSystemValue(document_, key::kDiskGuid, GuidText(h.diskGuid));
  // The type GUIDs' section comes before the partitions that name them.
  document_.GetOrAddSection(key::kTypeGuidSection);
  filled_.assign(facts_.entries.size(), false);
  if (compact_ && !DecideCompactFills(0, kDataStart, std::nullopt)) {
    return Fail("its payloads and fill partitions do not make up its length");
  }
  for (size_t i = 0; i < facts_.entries.size(); ++i) {
    if (!RecordPartition(i)) return false;
  }
  kit_.fillByte = FindFillByte();
  WriteSystemValue(document_, key::kFillByte, Format("0x%02X", kit_.fillByte));
  const std::string comments[] = {
      "Save as setting.ini beside the partitions' files and pack it to rebuild",
      "the partition-table image byte for byte; every GUID is given here."};
  kit_.form = KitForm::kPartitionTable;
  kit_.config = IniText(document_, comments);
  kit = std::move(kit_);
  return true;
}

}  // namespace

std::string GptKitNames::FileOf(const std::string& name, size_t number) {
  return Take(IsPlainFileName(name) ? name + ".img"
                                    : "partition" + std::to_string(number) + ".img");
}

std::string GptKitNames::Take(const std::string& base) {
  std::string file = base;
  for (int n = 2; files_.count(CaseFolded(file)) != 0; ++n) file = base + "." + std::to_string(n);
  files_.insert(CaseFolded(file));
  return file;
}

std::string GptKitNames::TypeKeyOf(const Guid& guid, ConfigDocument& document) {
  const auto found = typeKeys_.find(guid);
  if (found != typeKeys_.end()) return found->second;
  const std::string key = "type" + std::to_string(typeKeys_.size() + 1);
  typeKeys_[guid] = key;
  WriteTypeGuid(document, key, GuidText(guid));
  return key;
}

bool BuildGptKit(ImageSource& source, const GptImageFacts& facts, const std::string& where,
                 Output& out, Kit& kit) {
  if (!CanTakeGptApart(facts, where, out)) return false;
  if (IsForeignGpt(facts)) return BuildForeignGptKit(source, facts, where, out, kit);
  return GptRebuild(source, facts, where, out).Run(kit);
}

}  // namespace imgweld
