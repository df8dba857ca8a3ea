#include "inspect/RebuildConfig.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

#include "common/Output.h"
#include "image/BootBlock.h"
#include "image/tagged/TaggedLayout.h"
#include "inspect/Kit.h"
#include "unpack/OutputNames.h"
#include "unpack/UnpackSettings.h"

namespace imgweld {
namespace {

constexpr uint64_t kSector = kSectorSize;

// One rebuild: the layout the image expresses, checked byte for byte
// against what the packer writes for it, or the first reason it cannot be.
class Rebuild {
 public:
  Rebuild(ImageSource& source, const TaggedImageFacts& facts, const std::string& where, Output& out)
      : source_(source), facts_(facts), report_{out, where, kNotRebuiltExactly} {}

  bool Run(std::string& config);

 private:
  // The reason may quote a text of the image: it is shown escaped.
  bool Fail(const std::string& text) const { return report_.Fail(text); }
  bool CheckHeaderAndTable();
  bool CheckBootBlockRebuilds();
  bool CheckGapsHoldFill();
  bool NameFiles(const TaggedLayout& layout, std::map<uint32_t, std::string>& files) const;
  std::optional<std::string> ProgramsMaking(uint64_t written) const;
  bool IsLaterBootBlock(const TaggedRecord& record) const {
    return record.entry.type == PART_TYPE_IDBLOCK && facts_.boot &&
           &record != &facts_.records[facts_.boot->record];
  }

  ImageSource& source_;
  const TaggedImageFacts& facts_;
  const RebuildReport report_;
  // The kit's files, and the one file of each record that has one, by
  // table index, named over the whole table as -U names them.
  std::vector<TaggedKitFile> kitFiles_;
  std::map<uint32_t, std::string> fileOf_;
};

// The first 4096 bytes are exactly what the packer assembles from the
// header and the records: reserved bytes zero, checksums right.
bool Rebuild::CheckHeaderAndTable() {
  std::vector<PartitionEntry> partitions;
  for (size_t i = 1; i < facts_.records.size(); ++i) partitions.push_back(facts_.records[i].entry);
  FirmwareHeader header = facts_.header;
  TableBlock stored{};
  if (!source_.Read(0, stored) || AssembleTableBlock(header, partitions) != stored) {
    return Fail("header and table hold bytes the packer does not write");
  }
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

// The file the configuration names for each partition: the one the kit
// holds for it; for a skipped or filled partition, which the packer does
// not open, the name -U gives it; for a later boot block, two files of the
// kit that make a block of its recorded length.
bool Rebuild::NameFiles(const TaggedLayout& layout, std::map<uint32_t, std::string>& files) const {
  for (const TaggedPartition& p : layout.partitions) {
    const PartitionEntry& e = facts_.records[p.record].entry;
    if (p.kind == TaggedPartitionKind::kBootBlock) {
      const BootFileNames programs = GetBootFileNames(e);
      files[p.record] = std::string(programs.ddr) + "," + programs.loader;
    } else if (p.kind == TaggedPartitionKind::kLaterBootBlock) {
      const std::optional<std::string> programs = ProgramsMaking(p.dataLength);
      if (!programs) {
        return Fail(
            Format("record %u is a second boot block record whose length, %llu bytes, "
                   "no two files of the kit make",
                   p.record, static_cast<unsigned long long>(p.dataLength)));
      }
      files[p.record] = *programs;
    } else if (const auto file = fileOf_.find(p.record); file != fileOf_.end()) {
      files[p.record] = file->second;
    } else if ((p.flag & (PART_FLAG_SKIP | PART_FLAG_FILL)) != 0) {
      files[p.record] = PartitionFileName(e);
    } else {
      return Fail("partition " + p.name + " has data that -U does not extract");
    }
  }
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
  TaggedLayout layout;
  std::string why;
  if (!ReadTaggedLayout(facts_, layout, why)) return Fail(why);
  if (!CheckHeaderAndTable() || !CheckBootBlockRebuilds()) return false;
  kitFiles_ = TaggedKitEntries(facts_);
  std::map<uint32_t, size_t> filesOf;
  for (const TaggedKitFile& entry : kitFiles_) ++filesOf[entry.record];
  for (const TaggedKitFile& entry : kitFiles_) {
    if (filesOf[entry.record] == 1) fileOf_[entry.record] = entry.file.name;
  }
  std::map<uint32_t, std::string> files;
  if (!NameFiles(layout, files) || !CheckGapsHoldFill()) return false;
  std::vector<std::string> comments;
  if (layout.seconds) comments.push_back("SOURCE_DATE_EPOCH=" + std::to_string(*layout.seconds));
  comments.push_back("Save as setting.ini among the files imgweld -U wrote and pack it to");
  comments.push_back("rebuild the image byte for byte; its Date key dates the header.");
  config = TaggedLayoutConfig(layout, files, comments);
  return true;
}

}  // namespace

bool BuildRebuildConfig(ImageSource& source, const TaggedImageFacts& facts,
                        const std::string& where, Output& out, std::string& config) {
  return Rebuild(source, facts, where, out).Run(config);
}

}  // namespace imgweld
