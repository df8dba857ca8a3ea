#include "inspect/RebuildConfig.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <vector>

#include "common/Output.h"
#include "config/ConfigDocument.h"
#include "config/ConfigKeys.h"
#include "config/IniWriter.h"
#include "image/BootBlock.h"
#include "image/HeaderTime.h"
#include "inspect/Kit.h"
#include "pack/PackTime.h"
#include "unpack/OutputNames.h"
#include "unpack/UnpackSettings.h"

namespace imgweld {
namespace {

constexpr uint64_t kSector = kSectorSize;
constexpr uint32_t kUnknownSize = 0xFFFFFFFF;  // a growing last partition's stored size
constexpr size_t kBootFieldBytes = 9;          // bootLayout, firstFileLength, secondFileLength
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

// One rebuild: the configuration built up, or the first reason it cannot be.
class Rebuild {
 public:
  Rebuild(ImageSource& source, const TaggedImageFacts& facts, const std::string& where, Output& out)
      : source_(source), facts_(facts), report_{out, where, kNotRebuiltExactly} {}

  bool Run(std::string& config);

 private:
  // The reason may quote a text of the image: it is shown escaped.
  bool Fail(const std::string& text) {
    failed_ = true;
    return report_.Fail(text);
  }
  // A value is printed only when it reads back as it is, and holds no
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
  bool CheckHeaderAndTable();
  bool RecordSystem();
  bool RecordBootBlock(const TaggedRecord& record, uint32_t number);
  bool RecordLaterBootBlock(const TaggedRecord& record, uint32_t number, bool last);
  std::optional<std::string> ProgramsMaking(uint64_t written) const;
  bool IsLaterBootBlock(const TaggedRecord& record) const {
    return record.entry.type == PART_TYPE_IDBLOCK && facts_.boot &&
           &record != &facts_.records[facts_.boot->record];
  }
  bool RecordPartition(const TaggedRecord& record, uint32_t number, bool last);
  bool CheckBootBlockRebuilds();
  bool CheckGapsHoldFill();
  std::optional<uint32_t> FillSizeOfLast(const PartitionEntry& entry);

  ImageSource& source_;
  const TaggedImageFacts& facts_;
  const RebuildReport report_;
  ConfigDocument document_;
  // The kit's files, and the one file of each record that has one, by
  // table index, named over the whole table as -U names them.
  std::vector<TaggedKitFile> kitFiles_;
  std::map<uint32_t, std::string> fileOf_;
  bool failed_ = false;
};

// The first 4096 bytes are exactly what the packer assembles from the
// header and the records: reserved bytes zero, checksums right.
bool Rebuild::CheckHeaderAndTable() {
  const FirmwareHeader& h = facts_.header;
  if (facts_.records.empty() || facts_.records.size() != h.entryCount) {
    return Fail("the table does not hold the records its header counts");
  }
  if (EncodeEntry(MakeVendorEntry()) != facts_.records.front().bytes) {
    return Fail("the first record is not the vendor record");
  }
  if (h.backupDisabled > 1) return Fail(Format("the backup flag is %u", h.backupDisabled));
  // The packer pads the image to a whole sector.
  if (facts_.fileLength != h.imageLength) {
    return Fail("its last partition ends inside a sector, which the packer pads");
  }
  std::vector<PartitionEntry> partitions;
  for (size_t i = 1; i < facts_.records.size(); ++i) partitions.push_back(facts_.records[i].entry);
  FirmwareHeader header = h;
  TableBlock stored{};
  if (!source_.Read(0, stored) || AssembleTableBlock(header, partitions) != stored) {
    return Fail("header and table hold bytes the packer does not write");
  }
  return true;
}

bool Rebuild::RecordSystem() {
  const FirmwareHeader& h = facts_.header;
  const std::optional<std::string> chip = FieldText(h.chip);
  const std::optional<std::string> model = FieldText(h.model);
  if (!chip || !model) return Fail("chip or model holds bytes after its end");
  if (!Carried("the chip", *chip) || !Carried("the model", *model)) return false;
  if (!facts_.vendorFill || !facts_.vendorUniform) {
    return Fail("the vendor area does not hold one fill byte");
  }
  WriteSystemValue(document_, key::kFwVersion, VersionText(h.version));
  WriteSystemValue(document_, key::kChip, *chip);
  WriteSystemValue(document_, key::kModel, *model);
  // Empty, so that packing builds the tagged image again.
  WriteSystemValue(document_, key::kGptEnable, "");
  WriteSystemValue(document_, key::kBackupPartitionEnable, h.backupDisabled == 0 ? "1" : "0");
  WriteSystemValue(document_, key::kFillByte, Format("0x%02X", *facts_.vendorFill));
  const std::string date = DateKeyText(h.year, h.month, h.day, h.hour, h.minute, h.second);
  if (!IsDateKeyText(date))
    return Fail("its date and time are no calendar date the Date key takes");
  WriteSystemValue(document_, key::kDate, date);
  return true;
}

// The settings of the boot block come from the block itself: the layout and
// gap mode from its record, the scrambling from its header sector. Programs
// stored scrambled are extracted so, and Loader_Scrambled has them
// deciphered before they are packed again.
bool Rebuild::RecordBootBlock(const TaggedRecord& record, uint32_t number) {
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
  if (!name || !Carried("the boot block's name", *name)) {
    return failed_ ? false : Fail("the boot block's name holds bytes after its end");
  }
  // Bytes past the boot fields keep what a long Type_Guid text left there.
  std::string typeGuid;
  const std::span<const uint8_t> tail = std::span(e.typeGuid).subspan(kBootFieldBytes);
  if (!AllZero(tail)) {
    const std::optional<std::string> rest = FieldText(e.typeGuid, kBootFieldBytes);
    if (!rest || !Carried("the boot block's Type_Guid", *rest)) {
      return failed_ ? false : Fail("the boot block's record holds bytes after its Type_Guid");
    }
    typeGuid = kLostCharacters + *rest;
  }
  const bool scrambled = programs == ProgramStorage::kScrambled;
  WriteSystemValue(document_, key::kNano, boot.layout.nano ? "1" : "0");
  WriteSystemValue(document_, key::kBlankGap, boot.layout.gap ? "1" : "0");
  WriteSystemValue(document_, key::kLoaderEncrypt, scrambled ? "1" : "0");
  WriteSystemValue(document_, key::kLoaderScrambled, scrambled ? "1" : "0");
  WriteSystemValue(document_, key::kIdbBootEncrypt,
                   boot.header == BootSectors::kScrambled ? "1" : "0");

  const BootFileNames files = GetBootFileNames(e);
  PartitionSettings partition;
  partition.name = *name;
  partition.type = e.type;
  partition.offset = e.offset;
  partition.size = e.size;
  partition.flag = e.flag;
  partition.file = std::string(files.ddr) + "," + files.loader;
  partition.typeGuid = typeGuid;
  WritePartitionSection(document_, number, partition);
  return CheckBootBlockRebuilds();
}

// Two files of the kit whose lengths make a block of `written` bytes under
// the boot block's layout settings, as "<ddr>,<loader>": the boot block's own
// programs when they do. The packer splits the text at its first comma, so
// the first file's name holds none.
std::optional<std::string> Rebuild::ProgramsMaking(uint64_t written) const {
  const BootBlockLayout& held = facts_.boot->layout;
  const auto make = [&](const KitFile& ddr, const KitFile& loader) -> std::optional<std::string> {
    BootBlockLayout layout;
    const std::string text = ddr.name + "," + loader.name;
    if (ddr.name.find(',') != std::string::npos || !IniCanCarry(text) ||
        !PlanBootBlockLayout(held.nano, held.gap, ddr.extent.length, loader.extent.length,
                             layout) ||
        layout.WrittenBytes() != written) {
      return std::nullopt;
    }
    return text;
  };
  const uint32_t boot = facts_.records[facts_.boot->record].index;
  std::vector<const KitFile*> programs;
  for (const TaggedKitFile& entry : kitFiles_) {
    if (entry.record == boot) programs.push_back(&entry.file);
  }
  if (programs.size() == 2) {
    if (std::optional<std::string> text = make(*programs[0], *programs[1])) return text;
  }
  for (const TaggedKitFile& ddr : kitFiles_) {
    for (const TaggedKitFile& loader : kitFiles_) {
      if (std::optional<std::string> text = make(ddr.file, loader.file)) return text;
    }
  }
  return std::nullopt;
}

// A boot block record after the first. The packer builds no block for it
// and writes none of its bytes, but it measures the two programs its File
// names and records the length of the block they would make under the
// System's layout settings: any two files of the kit that make a block of
// that length give the same record.
bool Rebuild::RecordLaterBootBlock(const TaggedRecord& record, uint32_t number, bool last) {
  const PartitionEntry& e = record.entry;
  const std::optional<std::string> name = FieldText(e.name);
  const std::optional<std::string> typeGuid = FieldText(e.typeGuid);
  if (!name || !typeGuid) {
    return Fail(Format("record %u holds bytes after its name or Type_Guid", record.index));
  }
  if (!Carried("partition " + *name + "'s name", *name) ||
      !Carried("partition " + *name + "'s Type_Guid", *typeGuid)) {
    return false;
  }
  const std::optional<std::string> programs = ProgramsMaking(e.dataLength);
  if (!programs) {
    return Fail(
        Format("record %u is a second boot block record whose length, %u bytes, no two "
               "files of the kit make",
               record.index, static_cast<unsigned>(e.dataLength)));
  }
  PartitionSettings partition;
  partition.name = *name;
  partition.type = e.type;
  partition.offset = e.offset;
  // A growing last record has lost its size; the packer writes nothing for
  // this one, so any size that keeps it below 4 GiB gives the same record.
  partition.size = last && (e.flag & PART_FLAG_GROW) != 0 && e.size == kUnknownSize ? 0 : e.size;
  partition.flag = e.flag;
  partition.file = *programs;
  partition.typeGuid = *typeGuid;
  WritePartitionSection(document_, number, partition);
  return true;
}

// The block the packer builds from the programs as -U extracts them, under
// the settings recorded above, is the block in the image.
bool Rebuild::CheckBootBlockRebuilds() {
  const BootBlockFacts& boot = *facts_.boot;
  const BootFields& fields = boot.fields;
  const PartitionEntry& entry = facts_.records[boot.record].entry;
  BootBlockLayout layout;
  if (!PlanBootBlockLayout(boot.layout.nano, boot.layout.gap, fields.firstFileLength,
                           fields.secondFileLength, layout) ||
      uint64_t{entry.size} * kSector < 2 * uint64_t{layout.WrittenBytes()} ||
      entry.offset < kBootMinOffset) {
    return Fail("the boot block's programs do not fit the packer's layout");
  }
  const std::vector<uint8_t> stored = layout.gap ? GatherGaps(boot.written) : boot.written;
  const size_t ddrAt = size_t{layout.DdrSector()} * kBootSectorSize;
  const size_t loaderAt = size_t{layout.LoaderSector()} * kBootSectorSize;
  if (ddrAt + fields.firstFileLength > stored.size() ||
      loaderAt + fields.secondFileLength > stored.size()) {
    return Fail("the boot block's programs run past the block");
  }
  std::vector<uint8_t> ddr(
      stored.begin() + static_cast<std::ptrdiff_t>(ddrAt),
      stored.begin() + static_cast<std::ptrdiff_t>(ddrAt + fields.firstFileLength));
  std::vector<uint8_t> loader(
      stored.begin() + static_cast<std::ptrdiff_t>(loaderAt),
      stored.begin() + static_cast<std::ptrdiff_t>(loaderAt + fields.secondFileLength));
  const bool scrambled = boot.Programs() == ProgramStorage::kScrambled;
  if (scrambled) {
    ScrambleProgramBlocks(ddr);
    ScrambleProgramBlocks(loader);
  }
  std::vector<uint8_t> block(layout.Bytes(), 0);
  const auto build = layout.nano ? BuildNanoIdBlock : BuildIdBlock;
  const bool built =
      build(ddr, loader, block, layout.ddrSectors, layout.loaderSectors, fields.firstFileLength,
            fields.secondFileLength, scrambled, boot.header == BootSectors::kScrambled) == 0;
  if (layout.gap) block = SpreadWithGaps(block);
  if (!built || block != boot.written || boot.copies != ByteMatch::kEqual) {
    return Fail("the boot block is not the one the packer builds from its programs");
  }
  return true;
}

// A growing fill partition that ends the table has lost its size. The
// packer fills it up to its end only where that extends the image, so the
// sectors from its start to the end of the image give the same bytes, or
// none when another partition lies there (then it extended nothing).
std::optional<uint32_t> Rebuild::FillSizeOfLast(const PartitionEntry& entry) {
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

bool Rebuild::RecordPartition(const TaggedRecord& record, uint32_t number, bool last) {
  const PartitionEntry& e = record.entry;
  const std::optional<std::string> name = FieldText(e.name);
  const std::optional<std::string> typeGuid = FieldText(e.typeGuid);
  if (!name || !typeGuid) {
    return Fail(Format("record %u holds bytes after its name or Type_Guid", record.index));
  }
  if (!IsPlainFileName(*name)) {
    return Fail(Format("the name of record %u is no file name -U writes", record.index));
  }
  if (!Carried("partition " + *name + "'s name", *name) ||
      !Carried("partition " + *name + "'s Type_Guid", *typeGuid)) {
    return false;
  }
  const bool fill = (e.flag & PART_FLAG_FILL) != 0;
  const bool skip = (e.flag & PART_FLAG_SKIP) != 0;
  const bool grow = (e.flag & PART_FLAG_GROW) != 0;
  if ((fill || skip) && e.dataLength != 0) {
    return Fail("partition " + *name + " is skipped or filled but records data");
  }
  const auto file = fileOf_.find(record.index);
  if (file == fileOf_.end() && !fill && !skip) {
    return Fail("partition " + *name + " has data that -U does not extract");
  }
  uint32_t size = e.size;
  if (last && grow && e.size == kUnknownSize && fill) {
    const std::optional<uint32_t> fillSize = FillSizeOfLast(e);
    if (!fillSize) return Fail("partition " + *name + " starts past the end of the image");
    size = *fillSize;
  }
  PartitionSettings partition;
  partition.name = *name;
  partition.type = e.type;
  partition.offset = e.offset;
  partition.size = size;
  partition.flag = e.flag;
  partition.file = file != fileOf_.end() ? file->second : PartitionFileName(e);
  partition.typeGuid = *typeGuid;
  WritePartitionSection(document_, number, partition);
  return true;
}

// Every byte between the vendor area and the backup block that no payload
// and no boot block copy takes holds the fill byte, as the packer pads.
bool Rebuild::CheckGapsHoldFill() {
  struct Range {
    uint64_t start, end;
  };
  std::vector<Range> data;
  for (const TaggedRecord& record : facts_.records) {
    const PartitionEntry& e = record.entry;
    const uint64_t start = uint64_t{e.offset} * kSector;
    if (IsLaterBootBlock(record)) continue;  // the packer writes nothing for it
    if (e.type == PART_TYPE_IDBLOCK) {
      const uint64_t length = facts_.boot->written.size();
      data.push_back({start, start + length});
      data.push_back({*facts_.boot->secondCopy, *facts_.boot->secondCopy + length});
    } else if ((e.flag & (PART_FLAG_SKIP | PART_FLAG_FILL)) == 0) {
      data.push_back({start, start + e.dataLength});
    }
  }
  std::sort(data.begin(), data.end(),
            [](const Range& a, const Range& b) { return a.start < b.start; });
  const uint64_t end = uint64_t{facts_.header.imageSectors} * kSector;
  const uint8_t fill = *facts_.vendorFill;
  uint64_t position = kVendorAreaEnd;
  for (const Range& range : data) {
    const uint64_t gapEnd = std::min(range.start, end);
    if (gapEnd > position &&
        CompareToFill(source_, position, gapEnd - position, fill) != ByteMatch::kEqual) {
      return Fail(Format("bytes from 0x%llx to 0x%llx are not all the fill byte 0x%02X",
                         static_cast<unsigned long long>(position),
                         static_cast<unsigned long long>(gapEnd), fill));
    }
    position = std::max(position, range.end);
  }
  if (end > position &&
      CompareToFill(source_, position, end - position, fill) != ByteMatch::kEqual) {
    return Fail(Format("bytes from 0x%llx to 0x%llx are not all the fill byte 0x%02X",
                       static_cast<unsigned long long>(position),
                       static_cast<unsigned long long>(end), fill));
  }
  return true;
}

bool Rebuild::Run(std::string& config) {
  if (!AllChecksHold(facts_.checks)) {
    const auto failed = std::find_if(facts_.checks.begin(), facts_.checks.end(),
                                     [](const Check& c) { return c.status == CheckStatus::kBad; });
    return Fail("it is damaged: " + failed->name + ": " + failed->detail);
  }
  // The Date key carries any date the header holds; the variable only a
  // moment since 1970 (no leap second, no earlier year).
  const std::optional<long long> seconds = HeaderTimeSeconds(facts_.header);
  if (!CheckHeaderAndTable() || !RecordSystem()) return false;
  kitFiles_ = TaggedKitEntries(facts_);
  std::map<uint32_t, size_t> filesOf;
  for (const TaggedKitFile& entry : kitFiles_) ++filesOf[entry.record];
  for (const TaggedKitFile& entry : kitFiles_) {
    if (filesOf[entry.record] == 1) fileOf_[entry.record] = entry.file.name;
  }
  uint32_t number = 1;
  for (size_t i = 1; i < facts_.records.size(); ++i) {
    const TaggedRecord& record = facts_.records[i];
    const bool last = i + 1 == facts_.records.size();
    bool recorded = false;
    if (IsLaterBootBlock(record)) {
      recorded = RecordLaterBootBlock(record, number, last);
    } else if (record.entry.type == PART_TYPE_IDBLOCK) {
      recorded = RecordBootBlock(record, number);
    } else {
      recorded = RecordPartition(record, number, last);
    }
    if (!recorded) return false;
    ++number;
  }
  if (!facts_.boot) return Fail("it has no boot block");
  if (!CheckGapsHoldFill()) return false;
  std::vector<std::string> comments;
  if (seconds) comments.push_back("SOURCE_DATE_EPOCH=" + std::to_string(*seconds));
  comments.push_back("Save as setting.ini among the files imgweld -U wrote and pack it to");
  comments.push_back("rebuild the image byte for byte; its Date key dates the header.");
  config = IniText(document_, comments);
  return true;
}

}  // namespace

bool IniCanCarry(const std::string& value) {
  if (value.find_first_of(std::string("#\n\0", 3)) != std::string::npos) return false;
  if (!value.empty() && std::string(" \t\r").find(value.back()) != std::string::npos) {
    return false;
  }
  const size_t open = value.find('[');
  return open == std::string::npos || value.rfind(']') == std::string::npos ||
         value.rfind(']') < open;
}

bool GptNameCanBeCarried(const std::string& name) {
  return IniCanCarry(name) && std::none_of(name.begin(), name.end(), [](char c) {
           const auto byte = static_cast<unsigned char>(c);
           return byte < 0x20 || byte == 0x7F;
         });
}

bool BuildRebuildConfig(ImageSource& source, const TaggedImageFacts& facts,
                        const std::string& where, Output& out, std::string& config) {
  return Rebuild(source, facts, where, out).Run(config);
}

}  // namespace imgweld
