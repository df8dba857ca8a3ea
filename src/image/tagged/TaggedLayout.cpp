#include "image/tagged/TaggedLayout.h"

#include <algorithm>
#include <cstring>

#include "common/Output.h"
#include "config/ConfigKeys.h"
#include "config/DateKey.h"
#include "config/IniWriter.h"
#include "image/BootBlock.h"
#include "image/GptRecords.h"
#include "image/HeaderTime.h"

namespace imgweld {

std::vector<LayoutProblem> FindTaggedLayoutProblems(
    std::span<const std::optional<SectorExtent>> spans) {
  return FindLayoutProblems(kTaggedLimits, spans, kOpenDiskEnd);
}

namespace {

constexpr uint64_t kSector = kSectorSize;
constexpr size_t kBootFieldBytes = 9;  // bootLayout, firstFileLength, secondFileLength
// The first nine characters of a boot block record's Type_Guid text are
// overwritten by its boot fields; any nine characters give the same record.
constexpr const char* kLostCharacters = "?????????";

// Text that ends at its first NUL with only zero bytes after it, as the
// packer stores text in a fixed field; nothing for any other bytes.
template <typename Bytes>
std::optional<std::string> FieldText(const Bytes& field, size_t from = 0) {
  const auto* begin = reinterpret_cast<const char*>(field.data()) + from;
  const size_t size = field.size() - from;
  const size_t length = strnlen(begin, size);
  if (!std::all_of(begin + length, begin + size, [](char c) { return c == '\0'; })) {
    return std::nullopt;
  }
  return std::string(begin, length);
}

bool AllZero(std::span<const uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

// One reading of a layout: the values decoded so far, or the first reason
// the image holds what no configuration makes again.
class LayoutReader {
 public:
  LayoutReader(const TaggedImageFacts& facts, TaggedLayout& layout, std::string& why)
      : facts_(facts), layout_(layout), why_(why) {}

  bool Run();

 private:
  bool Fail(const std::string& text) {
    why_ = text;
    return false;
  }
  // A value is carried only when it reads back as it is, and holds no
  // control character that would act on the terminal it is printed to.
  bool Carried(const std::string& what, const std::string& value) {
    const auto control = std::find_if(value.begin(), value.end(), [](char c) {
      const auto byte = static_cast<unsigned char>(c);
      return (byte < 0x20 && c != '\t') || byte == 0x7F;
    });
    if (control != value.end()) {
      return Fail(Format("%s holds the control character 0x%02X", what.c_str(),
                         static_cast<unsigned char>(*control)));
    }
    return IniCanCarry(value) || Fail(what + " holds text a configuration file cannot carry");
  }
  bool ReadTable();
  bool ReadSystem();
  bool ReadBootBlock(const TaggedRecord& record, TaggedPartition& partition);
  bool NamesAFile(const TaggedRecord& record, const std::string& name) const;
  bool ReadTexts(const TaggedRecord& record, bool plainName, TaggedPartition& partition);
  bool ReadLaterBootBlock(const TaggedRecord& record, bool last, TaggedPartition& partition);
  bool ReadPartition(const TaggedRecord& record, bool last, TaggedPartition& partition);
  std::optional<uint32_t> FillSizeOfLast(const PartitionEntry& entry) const;
  bool IsLaterBootBlock(const TaggedRecord& record) const {
    return record.entry.type == PART_TYPE_IDBLOCK && facts_.boot &&
           &record != &facts_.records[facts_.boot->record];
  }

  const TaggedImageFacts& facts_;
  TaggedLayout& layout_;
  std::string& why_;
};

// The table has the shape the packer gives it: the records its header
// counts, the vendor record first, a backup flag of 0 or 1, and the image
// padded to a whole sector.
bool LayoutReader::ReadTable() {
  const FirmwareHeader& h = facts_.header;
  if (facts_.records.empty() || facts_.records.size() != h.entryCount) {
    return Fail("the table does not hold the records its header counts");
  }
  if (EncodeEntry(MakeVendorEntry()) != facts_.records.front().bytes) {
    return Fail("the first record is not the vendor record");
  }
  if (h.backupDisabled > 1) return Fail(Format("the backup flag is %u", h.backupDisabled));
  if (facts_.fileLength != h.imageLength) {
    return Fail("its last partition ends inside a sector, which the packer pads");
  }
  layout_.backup = h.backupDisabled == 0;
  return true;
}

bool LayoutReader::ReadSystem() {
  const FirmwareHeader& h = facts_.header;
  const std::optional<std::string> chip = FieldText(h.chip);
  const std::optional<std::string> model = FieldText(h.model);
  if (!chip || !model) return Fail("chip or model holds bytes after its end");
  if (!Carried("the chip", *chip) || !Carried("the model", *model)) return false;
  if (!facts_.vendorFill || !facts_.vendorUniform) {
    return Fail("the vendor area does not hold one fill byte");
  }
  layout_.version = h.version;
  layout_.chip = *chip;
  layout_.model = *model;
  layout_.fillByte = *facts_.vendorFill;
  layout_.date = {h.year, h.month, h.day, h.hour, h.minute, h.second};
  const TaggedDate& d = layout_.date;
  if (!IsDateKeyText(DateKeyText(d.year, d.month, d.day, d.hour, d.minute, d.second))) {
    return Fail("its date and time are no calendar date the Date key takes");
  }
  // The Date key carries any date the header holds; the variable only a
  // moment since 1970 (no leap second, no earlier year).
  layout_.seconds = HeaderTimeSeconds(h);
  return true;
}

// The settings of the boot block come from the block itself: the layout and
// gap mode from its record, the scrambling from its header sector.
bool LayoutReader::ReadBootBlock(const TaggedRecord& record, TaggedPartition& partition) {
  const BootBlockFacts& boot = *facts_.boot;
  const PartitionEntry& e = record.entry;
  const ProgramStorage programs = boot.Programs();
  if (boot.header == BootSectors::kUnreadable || boot.check != boot.header ||
      programs == ProgramStorage::kUnknown) {
    return Fail("the boot block's control sectors do not read with the key");
  }
  if (boot.written.empty() || !boot.secondCopy) {
    return Fail("the boot block's second copy is not recorded");
  }
  const std::optional<std::string> name = FieldText(e.name);
  if (!name) return Fail("the boot block's name holds bytes after its end");
  if (!Carried("the boot block's name", *name)) return false;
  // Bytes past the boot fields keep what a long Type_Guid text left there.
  const std::span<const uint8_t> tail = std::span(e.typeGuid).subspan(kBootFieldBytes);
  if (!AllZero(tail)) {
    const std::optional<std::string> rest = FieldText(e.typeGuid, kBootFieldBytes);
    if (!rest) return Fail("the boot block's record holds bytes after its Type_Guid");
    if (!Carried("the boot block's Type_Guid", *rest)) return false;
    partition.typeGuid = kLostCharacters + *rest;
  }
  layout_.boot = {boot.layout.nano,
                  boot.layout.gap,
                  programs == ProgramStorage::kScrambled,
                  boot.header == BootSectors::kScrambled,
                  boot.fields.firstFileLength,
                  boot.fields.secondFileLength};
  partition.kind = TaggedPartitionKind::kBootBlock;
  partition.name = *name;
  return true;
}

// Whether a partition's name can be the file its configuration names. The
// reader judges every record -U writes a named file for; a vendor-type
// record without data gets no file from -U, yet its configuration names
// one after it (the packer makes it from a file of no bytes, or skips or
// fills it), so that name is judged here.
bool LayoutReader::NamesAFile(const TaggedRecord& record, const std::string& name) const {
  if (ExtractsToNamedFile(record.entry)) {
    return !HasProblem(facts_.checks, TaggedRule::kNameNotPlain, record.index);
  }
  return IsPlainFileName(name);
}

// The name and Type_Guid texts of a partition's record, as a configuration
// carries them; `plainName`: the name must also be one -U writes a file by.
bool LayoutReader::ReadTexts(const TaggedRecord& record, bool plainName,
                             TaggedPartition& partition) {
  const PartitionEntry& e = record.entry;
  const std::optional<std::string> name = FieldText(e.name);
  const std::optional<std::string> typeGuid = FieldText(e.typeGuid);
  if (!name || !typeGuid) {
    return Fail(Format("record %u holds bytes after its name or Type_Guid", record.index));
  }
  if (plainName && !NamesAFile(record, *name)) {
    return Fail(Format("the name of record %u is no file name -U writes", record.index));
  }
  if (!Carried("partition " + *name + "'s name", *name) ||
      !Carried("partition " + *name + "'s Type_Guid", *typeGuid)) {
    return false;
  }
  partition.name = *name;
  partition.typeGuid = *typeGuid;
  return true;
}

// A boot block record after the first: the packer writes nothing for it and
// records the length of the block its programs would make.
bool LayoutReader::ReadLaterBootBlock(const TaggedRecord& record, bool last,
                                      TaggedPartition& partition) {
  const PartitionEntry& e = record.entry;
  if (!ReadTexts(record, false, partition)) return false;
  partition.kind = TaggedPartitionKind::kLaterBootBlock;
  // Nothing is written for it, so any size that keeps it below 4 GiB gives
  // the same record when the packer records the size as lost again.
  if (TaggedSizeUnknown(e, last)) partition.size = 0;
  return true;
}

// A growing fill partition that ends the table has lost its size. The
// packer fills it up to its end only where that extends the image, so the
// sectors from its start to the end of the image give the same bytes, or
// none when another partition lies there (then it extended nothing).
std::optional<uint32_t> LayoutReader::FillSizeOfLast(const PartitionEntry& entry) const {
  const uint64_t end = facts_.header.imageSectors;
  if (entry.offset > end) return std::nullopt;
  for (const TaggedRecord& other : facts_.records) {
    const PartitionEntry& e = other.entry;
    if (&e == &entry || IsLaterBootBlock(other)) continue;
    const bool payload = (e.flag & (PART_FLAG_SKIP | PART_FLAG_FILL)) == 0;
    if (!payload && (e.flag & PART_FLAG_FILL) == 0) continue;
    const uint64_t first = e.offset;
    const uint64_t last = payload && (e.flag & PART_FLAG_GROW) != 0
                              ? first + (e.dataLength + kSector - 1) / kSector
                              : first + e.size;
    if (first < end && last > entry.offset) return 0;
  }
  return static_cast<uint32_t>(end - entry.offset);
}

bool LayoutReader::ReadPartition(const TaggedRecord& record, bool last,
                                 TaggedPartition& partition) {
  const PartitionEntry& e = record.entry;
  if (!ReadTexts(record, true, partition)) return false;
  const std::string& name = partition.name;
  const bool fill = (e.flag & PART_FLAG_FILL) != 0;
  if ((fill || (e.flag & PART_FLAG_SKIP) != 0) && e.dataLength != 0) {
    return Fail("partition " + name + " is skipped or filled but records data");
  }
  if (fill && TaggedSizeUnknown(e, last)) {
    const std::optional<uint32_t> fillSize = FillSizeOfLast(e);
    if (!fillSize) return Fail("partition " + name + " starts past the end of the image");
    partition.size = *fillSize;
  }
  return true;
}

bool LayoutReader::Run() {
  if (!AllChecksHold(facts_.checks)) {
    const auto failed = std::find_if(facts_.checks.begin(), facts_.checks.end(),
                                     [](const Check& c) { return c.status == CheckStatus::kBad; });
    return Fail("it is damaged: " + failed->name + ": " + failed->detail);
  }
  if (!ReadTable() || !ReadSystem()) return false;
  for (size_t i = 1; i < facts_.records.size(); ++i) {
    const TaggedRecord& record = facts_.records[i];
    const PartitionEntry& e = record.entry;
    const bool last = i + 1 == facts_.records.size();
    TaggedPartition partition{record.index,
                              TaggedPartitionKind::kPartition,
                              "",
                              e.type,
                              e.flag,
                              e.offset,
                              e.size,
                              e.dataLength,
                              ""};
    bool read = false;
    if (IsLaterBootBlock(record)) {
      read = ReadLaterBootBlock(record, last, partition);
    } else if (e.type == PART_TYPE_IDBLOCK) {
      read = ReadBootBlock(record, partition);
    } else {
      read = ReadPartition(record, last, partition);
    }
    if (!read) return false;
    layout_.partitions.push_back(std::move(partition));
  }
  if (!facts_.boot) return Fail("it has no boot block");
  return true;
}

}  // namespace

bool ReadTaggedLayout(const TaggedImageFacts& facts, TaggedLayout& layout, std::string& why) {
  layout = TaggedLayout{};
  why.clear();
  return LayoutReader(facts, layout, why).Run();
}

std::optional<SectorExtent> TaggedWrittenSectors(const TaggedPartition& p, bool last) {
  uint64_t first = p.offset;
  uint64_t size = p.size;
  const bool payload = (p.flag & (PART_FLAG_SKIP | PART_FLAG_FILL)) == 0;
  switch (p.kind) {
    case TaggedPartitionKind::kLaterBootBlock:
      return std::nullopt;
    case TaggedPartitionKind::kBootBlock:
      // The block never goes below sector 64, whatever its offset says.
      first = std::max<uint64_t>(first, kBootMinOffset);
      break;
    case TaggedPartitionKind::kPartition:
      if ((p.flag & PART_FLAG_SKIP) != 0 && (p.flag & PART_FLAG_FILL) == 0) return std::nullopt;
      if (payload && (p.flag & PART_FLAG_GROW) != 0) {
        // A growing payload is not cut to its size; the last one has no
        // size of its own and ends where its data ends.
        const uint64_t data = (p.dataLength + kSector - 1) / kSector;
        size = last ? data : std::max(size, data);
      }
      break;
  }
  if (size == 0) return std::nullopt;
  return SectorExtent{first, first + size - 1};
}

std::vector<LayoutProblem> ValidateTaggedLayout(const TaggedLayout& layout) {
  std::vector<std::optional<SectorExtent>> spans;
  for (size_t i = 0; i < layout.partitions.size(); ++i) {
    spans.push_back(TaggedWrittenSectors(layout.partitions[i], i + 1 == layout.partitions.size()));
  }
  return FindTaggedLayoutProblems(spans);
}

std::string TaggedLayoutConfig(const TaggedLayout& layout,
                               const std::map<uint32_t, std::string>& files,
                               std::span<const std::string> comments) {
  ConfigDocument document;
  WriteSystemValue(document, key::kFwVersion, VersionText(layout.version));
  WriteSystemValue(document, key::kChip, layout.chip);
  WriteSystemValue(document, key::kModel, layout.model);
  // Empty, so that packing builds the tagged image again.
  WriteSystemValue(document, key::kGptEnable, "");
  WriteSystemValue(document, key::kBackupPartitionEnable, layout.backup ? "1" : "0");
  WriteSystemValue(document, key::kFillByte, Format("0x%02X", layout.fillByte));
  const TaggedDate& d = layout.date;
  WriteSystemValue(document, key::kDate,
                   DateKeyText(d.year, d.month, d.day, d.hour, d.minute, d.second));
  uint32_t number = 1;
  for (const TaggedPartition& p : layout.partitions) {
    if (p.kind == TaggedPartitionKind::kBootBlock) {
      // Programs stored scrambled are extracted so, and Loader_Scrambled has
      // them deciphered before they are packed again.
      const TaggedBootSettings& boot = layout.boot;
      WriteSystemValue(document, key::kNano, boot.nano ? "1" : "0");
      WriteSystemValue(document, key::kBlankGap, boot.gap ? "1" : "0");
      WriteSystemValue(document, key::kLoaderEncrypt, boot.programsScrambled ? "1" : "0");
      WriteSystemValue(document, key::kLoaderScrambled, boot.programsScrambled ? "1" : "0");
      WriteSystemValue(document, key::kIdbBootEncrypt, boot.headerScrambled ? "1" : "0");
    }
    PartitionSettings partition;
    partition.name = p.name;
    partition.type = p.type;
    partition.offset = p.offset;
    partition.size = p.size;
    partition.flag = p.flag;
    const auto file = files.find(p.record);
    if (file != files.end()) partition.file = file->second;
    partition.typeGuid = p.typeGuid;
    WritePartitionSection(document, number++, partition);
  }
  return IniText(document, comments);
}

}  // namespace imgweld
