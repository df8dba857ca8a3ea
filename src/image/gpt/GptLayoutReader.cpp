#include <algorithm>
#include <array>
#include <optional>

#include "common/ByteIO.h"
#include "common/Output.h"
#include "image/BootBlock.h"
#include "image/FirmwareImage.h"
#include "image/GptRecords.h"
#include "image/gpt/GptLayout.h"

namespace imgweld {
namespace {

constexpr uint64_t kSector = kSectorSize;
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

  GptBootSettings Settings() const {
    return {layout.nano, layout.gap, programsScrambled, scrambleSectors};
  }
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

bool SameSettings(const GptBootSettings& a, const GptBootSettings& b) {
  return a.nano == b.nano && a.gap == b.gap && a.scrambleSectors == b.scrambleSectors &&
         a.programsScrambled == b.programsScrambled;
}

class GptLayoutReader {
 public:
  GptLayoutReader(ImageSource& source, const GptImageFacts& facts, std::string& why)
      : source_(source), facts_(facts), why_(why) {}

  bool Run(GptLayout& layout);

 private:
  bool Fail(std::string text) {
    why_ = std::move(text);
    return false;
  }
  bool CheckTable();
  bool CheckEntry(size_t index);
  bool ReadPartition(size_t index);
  bool ReadBootBlock(GptLayoutPartition& partition, uint64_t at, uint64_t length);
  uint8_t FindFillByte();
  bool Grows(size_t index) const;
  uint64_t AreaEnd(size_t index) const;
  bool DecideCompactFills(size_t index, uint64_t cursor, std::optional<uint8_t> fill);

  ImageSource& source_;
  const GptImageFacts& facts_;
  std::string& why_;
  GptLayout layout_;
  uint64_t dataEnd_ = 0;          // where the partitions' bytes end: the backup GPT follows
  uint64_t cursor_ = kDataStart;  // compact: where the next payload lies
  // Bytes a payload or boot block copy takes, for finding the fill byte.
  std::vector<std::pair<uint64_t, uint64_t>> taken_;
  // Compact layout: which partitions without payload were filled, by index,
  // and how many more choices the search may try.
  std::vector<bool> filled_;
  size_t choicesLeft_ = kMaxFillChoices;
};

bool GptLayoutReader::Grows(size_t index) const {
  const GptEntryFacts& e = facts_.entries[index];
  return index + 1 == facts_.entries.size() && facts_.DiskEnd() == std::nullopt &&
         e.entry.lastLba == facts_.header.lastUsableLba;
}

// The byte where a partition's area ends; a growing last one has lost its
// size and reaches the end of the partitions' bytes.
uint64_t GptLayoutReader::AreaEnd(size_t index) const {
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
bool GptLayoutReader::DecideCompactFills(size_t index, uint64_t cursor,
                                         std::optional<uint8_t> fill) {
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

bool GptLayoutReader::CheckTable() {
  // A failed check of the listing is not refused here: the packer makes
  // images the listing finds fault with (a partition past the usable sectors
  // when the list does not end with the last one), and a damaged checksum
  // shows in the comparison with the rebuilt image.
  const GptHeader& h = facts_.header;
  if (h.partitionCount == 0) return Fail("it has no partition");
  // An entry in use past the count is the reader's problem of the table in
  // use, the same table the layout is read from. A count the array or the
  // header's length fields cannot hold is judged here as well: the reader
  // finds it only on the primary header, while a sound backup may stand in
  // for a broken primary, and every entry below the count is read as one
  // of the packer's partitions.
  if (HasProblem(facts_.checks, GptRule::kUncountedEntry) ||
      h.partitionCount > kGptLimits.maxPartitions || facts_.entries.size() < h.partitionCount) {
    return Fail("its partition array holds entries the header does not count");
  }
  if (h.backupEnabled > 1) return Fail(Format("the backup flag is %u", h.backupEnabled));
  layout_.compact = facts_.Compact();
  layout_.backup = h.backupEnabled == 1;
  dataEnd_ = facts_.fileLength;
  if (!layout_.compact && layout_.backup) {
    if (dataEnd_ < kDataStart + kGptBackupSectors * kSector) return Fail("it has no backup GPT");
    dataEnd_ -= kGptBackupSectors * kSector;
  }
  return true;
}

bool GptLayoutReader::ReadBootBlock(GptLayoutPartition& partition, uint64_t at, uint64_t length) {
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
  // Every boot block is built under the same [System] keys, so a later one
  // must read with the first one's settings.
  if (!found || (layout_.boot && !SameSettings(*layout_.boot, found->Settings()))) return false;
  if (!layout_.boot) layout_.boot = found->Settings();
  const BootBlockLayout& block = found->layout;
  partition.type = PART_TYPE_IDBLOCK;
  partition.content = GptContent::kBootBlock;
  partition.data = {
      {at + block.WrittenPosition(block.DdrSector()), found->ddrLength, block.gap},
      {at + block.WrittenPosition(block.LoaderSector()), found->loaderLength, block.gap}};
  taken_.emplace_back(at, at + length);
  if (!layout_.compact) {
    const uint64_t second = SecondBootCopySector(partition.offset, partition.size) * kSector;
    taken_.emplace_back(second, second + length);
  }
  return true;
}

// What of an entry no configuration can say.
bool GptLayoutReader::CheckEntry(size_t index) {
  const GptEntryFacts& e = facts_.entries[index];
  // Entries are counted from 1 in messages, as GPT tools count them.
  const uint32_t number = e.index + 1;
  const std::optional<std::string> name = NarrowName(e.entry.name);
  if (!name) return Fail(Format("the name of entry %u is no text the packer writes", number));
  if (name->size() >= PartitionEntry{}.name.size()) {
    return Fail(Format("the name of entry %u is longer than a partition's name", number));
  }
  if (!GptNameFitsConfig(*name)) {
    return Fail(
        Format("the name of entry %u holds text a configuration file cannot carry", number));
  }
  if (e.entry.firstLba > 0xFFFFFFFFu ||
      (!Grows(index) &&
       (e.entry.lastLba < e.entry.firstLba || e.entry.lastLba - e.entry.firstLba >= 0xFFFFFFFFu))) {
    return Fail(Format("entry %u lies where no partition of a configuration can", number));
  }
  return true;
}

bool GptLayoutReader::ReadPartition(size_t index) {
  if (!CheckEntry(index)) return false;
  const GptEntryFacts& e = facts_.entries[index];
  const bool grows = Grows(index);
  GptLayoutPartition partition;
  partition.entry = e.index;
  partition.name = *NarrowName(e.entry.name);
  partition.type = kOrdinaryType;
  partition.offset = static_cast<uint32_t>(e.entry.firstLba);
  partition.size = grows ? 0 : static_cast<uint32_t>(e.entry.lastLba - e.entry.firstLba + 1);
  partition.typeGuid = e.entry.typeGuid;
  partition.uniqueGuid = e.entry.uniqueGuid;
  partition.attributes = e.entry.attributes;
  const uint64_t length = e.recordedLength.value_or(0);
  partition.payloadLength = length;
  const uint64_t at = layout_.compact ? cursor_ : e.entry.firstLba * kSector;
  if (length > 0 && ReadBootBlock(partition, at, length)) {
    cursor_ += length;
  } else if (length > 0) {
    // The padded layout pads a payload to the end of its area, unless it
    // grows: a payload the image ends inside the area of grew.
    const uint64_t areaEnd = at + uint64_t{partition.size} * kSector;
    const bool grew = grows || length > uint64_t{partition.size} * kSector ||
                      (!layout_.compact && dataEnd_ < areaEnd);
    partition.flag = grew ? PART_FLAG_GROW : 0;
    partition.content = GptContent::kPayload;
    partition.data = {{at, length, false}};
    taken_.emplace_back(at, at + length);
    cursor_ += length;
  } else {
    // No payload: the partition was filled or skipped. A fill writes the fill
    // byte up to its end only where that extends the image, so it is the
    // fill that makes the image reach that far; a growing last one has
    // lost its size and is given the sectors up to the image's end.
    const uint64_t start = e.entry.firstLba * kSector;
    if (grows)
      partition.size = start < dataEnd_ ? static_cast<uint32_t>((dataEnd_ - start) / kSector) : 0;
    const uint64_t end = start + uint64_t{partition.size} * kSector;
    // Padded, a gap holds the fill byte either way: only a fill that ends
    // the partitions' bytes made them reach that far.
    const bool fill = layout_.compact ? filled_[index] : end == dataEnd_ && partition.size > 0;
    partition.flag = (fill ? PART_FLAG_FILL : PART_FLAG_SKIP) | (grows ? PART_FLAG_GROW : 0);
    partition.content = fill ? GptContent::kFilled : GptContent::kSkipped;
    if (fill && layout_.compact) cursor_ = end;
  }
  layout_.partitions.push_back(std::move(partition));
  return true;
}

// The first byte after the GPT that no payload or boot block takes shows
// the fill byte; 0 when every byte is taken.
uint8_t GptLayoutReader::FindFillByte() {
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

bool GptLayoutReader::Run(GptLayout& layout) {
  if (!CheckTable()) return false;
  layout_.diskGuid = facts_.header.diskGuid;
  filled_.assign(facts_.entries.size(), false);
  if (layout_.compact && !DecideCompactFills(0, kDataStart, std::nullopt)) {
    return Fail("its payloads and fill partitions do not make up its length");
  }
  for (size_t i = 0; i < facts_.entries.size(); ++i) {
    if (!ReadPartition(i)) return false;
  }
  layout_.fillByte = FindFillByte();
  layout = std::move(layout_);
  return true;
}

}  // namespace

bool ReadGptLayout(ImageSource& source, const GptImageFacts& facts, GptLayout& layout,
                   std::string& why) {
  const bool read = facts.PackerLayout() ? GptLayoutReader(source, facts, why).Run(layout)
                                         : ReadForeignGptLayout(facts, layout, why);
  if (!read) return false;
  for (GptLayoutPartition& partition : layout.partitions) {
    partition.places.clear();
    for (const PayloadExtent& extent : partition.data) {
      partition.places.push_back(extent.Place(facts.fileLength));
    }
  }
  return true;
}

}  // namespace imgweld
