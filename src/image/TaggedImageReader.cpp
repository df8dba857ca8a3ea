#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <string_view>

#include "common/ByteIO.h"
#include "common/Output.h"
#include "image/Checksums.h"
#include "image/ImageReader.h"
#include "image/tagged/TaggedLayout.h"

namespace imgweld {
namespace {

constexpr uint64_t kSector = kSectorSize;
constexpr uint64_t kTableOffset = kHeaderSize;  // the checksum covers the records from sector 1
constexpr uint64_t kVendorStart = 8 * kSector;
constexpr size_t kCrcChunk = size_t{64} << 10;
constexpr size_t kBootSector = kSectorSize;

// The check just added, when it fails, fails with `rule`.
void FailsWith(std::vector<Check>& checks, TaggedRule rule) {
  if (checks.back().status == CheckStatus::kBad) checks.back().problems.push_back(rule);
}

std::string RecordName(const TaggedRecord& record) {
  return Format("record %u %s", record.index, Printable(record.entry.Name()).c_str());
}

void ReadHeader(ImageSource& source, TaggedImageFacts& facts) {
  const size_t present = static_cast<size_t>(std::min<uint64_t>(source.Length(), kHeaderSize));
  source.Read(0, std::span(facts.headerBytes).first(present));
  facts.header = DecodeHeader(facts.headerBytes);
  facts.computedHeaderCrc =
      Crc32Msb(std::span<const uint8_t>(facts.headerBytes).first(kHeaderSize - 4));
}

void CheckHeader(const TaggedImageFacts& facts, std::vector<Check>& checks) {
  const FirmwareHeader& h = facts.header;
  if (facts.fileLength < kHeaderSize) {
    AddCheck(checks, "header", false,
             Format("cut short: the file holds %llu of its 512 bytes", Ull(facts.fileLength)));
    FailsWith(checks, TaggedRule::kHeaderCutShort);
    return;
  }
  std::string problems;
  std::vector<TaggedRule> rules;
  const auto note = [&](TaggedRule rule, const std::string& text) {
    problems += (problems.empty() ? "" : ", ") + text;
    rules.push_back(rule);
  };
  if (h.headerLength != kHeaderSize) {
    note(TaggedRule::kHeaderLength, Format("header length %u, not 512", h.headerLength));
  }
  if (h.tableSector != 1)
    note(TaggedRule::kTableSector, Format("table at sector %u, not 1", h.tableSector));
  if (h.entrySize != kEntrySize) {
    // Records closer than their own size share bytes; one record alone
    // shares nothing, whatever the distance.
    const bool overlap = h.entryCount > 1 && h.entrySize < kEntrySize;
    note(overlap ? TaggedRule::kRecordsOverlap : TaggedRule::kRecordSize,
         Format("record size %u, not 128", h.entrySize));
  }
  if (h.entryCount == 0 || h.entryCount > kTableAreaRecords) {
    note(h.entryCount == 0 ? TaggedRule::kNoRecords : TaggedRule::kTooManyRecords,
         Format("%u records, the table area holds 1 to %u", h.entryCount, kTableAreaRecords));
  }
  if (facts.fileLength > kPositionLimit) {
    note(TaggedRule::kFileTooLong,
         Format("the file has %llu bytes, more than any image (every position is 32 bits)",
                Ull(facts.fileLength)));
  }
  if (problems.empty()) {
    AddCheck(checks, "header", true,
             Format("512 bytes, %u records of 128 bytes from sector 1", h.entryCount));
  } else {
    AddCheck(checks, "header", false, problems);
    checks.back().problems = std::move(rules);
  }
  AddCrcCheck(checks, "header crc", h.headerCrc, facts.computedHeaderCrc);
  FailsWith(checks, TaggedRule::kHeaderCrc);
}

// Where the whole table lies as the header places it, `entryCount` records
// `entrySize` bytes apart from `tableSector`: past 4 GiB, past the end of
// the file, or (nothing) in the image.
std::optional<TaggedRule> TablePlace(const FirmwareHeader& h, uint64_t fileLength) {
  if (h.entryCount == 0) return std::nullopt;
  const uint64_t start = uint64_t{h.tableSector} * kSector;
  const uint64_t lastOffset = uint64_t{h.entryCount - 1} * h.entrySize;  // below 2^64
  if (start >= kPositionLimit || lastOffset >= kPositionLimit ||
      start + lastOffset + kEntrySize > kPositionLimit) {
    return TaggedRule::kTableBeyondLimit;
  }
  if (start + lastOffset + kEntrySize > fileLength) return TaggedRule::kTableCutShort;
  return std::nullopt;
}

// A table the image cannot hold fails the header check, which places it,
// or, under a header with sound fields (which keeps the table within the
// first 4 KiB), the records check, since the records past the end do not
// read.
void CheckTablePlace(const TaggedImageFacts& facts, Check& header, Check* records) {
  const std::optional<TaggedRule> place = TablePlace(facts.header, facts.fileLength);
  if (!place) return;
  Check& failed = header.status != CheckStatus::kBad && records != nullptr ? *records : header;
  failed.problems.push_back(*place);
}

void ReadRecords(ImageSource& source, TaggedImageFacts& facts, std::vector<Check>& checks) {
  const FirmwareHeader& h = facts.header;
  const uint64_t tableStart = uint64_t{h.tableSector} * kSector;
  const uint32_t wanted = std::min(h.entryCount, kTableAreaRecords);
  for (uint32_t i = 0; i < wanted; ++i) {
    TaggedRecord record;
    record.index = i;
    if (!source.Read(tableStart + uint64_t{i} * h.entrySize, record.bytes)) break;
    record.entry = DecodeEntry(record.bytes);
    record.extents = StoredExtents(record.entry);
    for (const PayloadExtent& extent : record.extents) {
      record.places.push_back(extent.Place(source.Length()));
    }
    facts.records.push_back(record);
  }
  if (facts.records.size() < wanted) {
    AddCheck(checks, "records", false,
             Format("%zu of %u records lie in the image", facts.records.size(), h.entryCount));
    FailsWith(checks, TaggedRule::kRecordsUnread);
  }
  // The checksum covers as many records as the header counts, wherever
  // that ends; it is taken in chunks so that a hostile count costs no memory.
  const uint64_t covered = uint64_t{h.entryCount} * kEntrySize;
  if (h.entryCount > kTableAreaRecords) {
    AddCheck(checks, "table crc", false,
             Format("stored 0x%08x, not computed over %u records, more than the table area holds",
                    h.tableCrc, h.entryCount));
    FailsWith(checks, TaggedRule::kTableCrc);
    return;
  }
  if (source.Contains(kTableOffset, covered)) {
    std::vector<uint8_t> chunk(static_cast<size_t>(std::min<uint64_t>(covered, kCrcChunk)));
    uint32_t crc = 0;
    bool read = true;
    for (uint64_t done = 0; read && done < covered;) {
      const std::span<uint8_t> part(chunk.data(), std::min<uint64_t>(covered - done, kCrcChunk));
      read = source.Read(kTableOffset + done, part);
      crc = Crc32Msb(part, crc);
      done += part.size();
    }
    if (read) facts.computedTableCrc = crc;
  }
  if (!facts.computedTableCrc) {
    AddCheck(checks, "table crc", false,
             Format("stored 0x%08x, the %u records it covers run past the end of the image",
                    h.tableCrc, h.entryCount));
    FailsWith(checks, TaggedRule::kTableCrc);
    return;
  }
  AddCrcCheck(checks, "table crc", h.tableCrc, *facts.computedTableCrc);
  FailsWith(checks, TaggedRule::kTableCrc);
}

void CheckImageLength(const TaggedImageFacts& facts, std::vector<Check>& checks) {
  const FirmwareHeader& h = facts.header;
  const uint64_t expected = TaggedImageLength(h.imageSectors, h.backupDisabled == 0);
  if (h.imageLength != expected) {
    AddCheck(checks, "image length", false,
             Format("%u bytes recorded, but %u sectors%s make %llu", h.imageLength, h.imageSectors,
                    h.backupDisabled == 0 ? " and the backup block" : "", Ull(expected)));
    FailsWith(checks, TaggedRule::kImageLength);
  } else if (facts.fileLength < h.imageLength || facts.fileLength - h.imageLength >= kSector) {
    AddCheck(checks, "image length", false,
             Format("%u bytes recorded, the file has %llu", h.imageLength, Ull(facts.fileLength)));
    FailsWith(checks, TaggedRule::kImageLength);
  } else if (facts.fileLength != h.imageLength) {
    // The recorded length counts whole sectors: a last partition that ends
    // inside a sector leaves up to 511 bytes more.
    AddCheck(
        checks, "image length", true,
        Format("%u bytes in whole sectors, the file %llu", h.imageLength, Ull(facts.fileLength)));
  } else {
    AddCheck(checks, "image length", true, Format("%u bytes, as the file", h.imageLength));
  }
}

void ReadVendorArea(ImageSource& source, TaggedImageFacts& facts) {
  uint8_t first = 0;
  if (!source.Read(kVendorStart, std::span(&first, 1))) return;
  const ByteMatch uniform =
      CompareToFill(source, kVendorStart, kVendorAreaEnd - kVendorStart, first);
  if (uniform == ByteMatch::kNotMade) return;
  facts.vendorFill = first;
  facts.vendorUniform = uniform == ByteMatch::kEqual;
}

std::string SectorSpan(uint64_t first, uint64_t bytes) {
  const uint64_t sectors = std::max<uint64_t>(1, (bytes + kSector - 1) / kSector);
  return Format("sectors 0x%llx-0x%llx", Ull(first), Ull(first + sectors - 1));
}

// Where `length` bytes at `position`, placed as `place`, lie outside the
// image; empty when they lie in it.
std::string OutsideText(PayloadPlace place, uint64_t position, uint64_t length,
                        uint64_t fileLength) {
  switch (place) {
    case PayloadPlace::kInside:
      return {};
    case PayloadPlace::kTooLong:
    case PayloadPlace::kBeyondLimit:
      return Format("%llu bytes at byte 0x%llx reach past 4 GiB", Ull(length), Ull(position));
    case PayloadPlace::kPastEnd:
      break;
  }
  return Format("%llu bytes at byte 0x%llx run past the end of the image (%llu bytes)", Ull(length),
                Ull(position), Ull(fileLength));
}

// Whether `length` bytes at `position` lie in the image and below 4 GiB.
std::string OutsideImage(uint64_t position, uint64_t length, uint64_t fileLength) {
  return OutsideText(PlacePayload(position, length, fileLength), position, length, fileLength);
}

// The check of a record, about that record; when `rule` is given it fails
// with it.
Check RecordResult(const TaggedRecord& record, std::optional<TaggedRule> rule, std::string detail) {
  Check check{RecordName(record), rule ? CheckStatus::kBad : CheckStatus::kOk, std::move(detail)};
  if (rule) check.problems.push_back(*rule);
  check.record = record.index;
  return check;
}

Check BootRecordCheck(const TaggedRecord& record, const BootBlockFacts& boot, uint64_t fileLength) {
  const PartitionEntry& e = record.entry;
  const uint32_t written = boot.layout.WrittenBytes();
  if (e.dataLength != written) {
    return RecordResult(
        record, TaggedRule::kBootRecordLength,
        Format("data length %llu fits neither a boot block of %u bytes nor its gap form",
               Ull(e.dataLength), boot.layout.Bytes()));
  }
  for (const std::optional<uint64_t>& copy : {std::optional(boot.firstCopy), boot.secondCopy}) {
    if (!copy) continue;
    const std::string outside = OutsideImage(*copy, written, fileLength);
    if (!outside.empty()) {
      return RecordResult(record, TaggedRule::kBootCopyOutside, "boot block copy: " + outside);
    }
  }
  return RecordResult(record, std::nullopt, SectorSpan(e.offset, uint64_t{e.size} * kSector));
}

Check RecordCheck(const TaggedRecord& record, bool last, uint64_t fileLength) {
  const PartitionEntry& e = record.entry;
  const uint64_t start = uint64_t{e.offset} * kSector;
  const bool grow = (e.flag & PART_FLAG_GROW) != 0;
  const bool sizeKnown = !TaggedSizeUnknown(e, last);
  if ((e.flag & PART_FLAG_FILL) != 0 && e.type != PART_TYPE_VENDOR) {
    const uint64_t area = sizeKnown ? uint64_t{e.size} * kSector : 0;
    const std::string outside = OutsideImage(start, area, fileLength);
    if (!outside.empty())
      return RecordResult(record, TaggedRule::kFillArea, "fill area: " + outside);
    return RecordResult(record, std::nullopt, SectorSpan(e.offset, area) + ", fill bytes");
  }
  if ((e.flag & PART_FLAG_SKIP) != 0 && e.type != PART_TYPE_VENDOR) {
    return RecordResult(record, std::nullopt, "skipped, nothing stored");
  }
  // The record's one extent is its data, as the reader placed it.
  const PayloadPlace place = record.places.front();
  if (place != PayloadPlace::kInside) {
    // A skipped vendor record stores nothing, though its length says where
    // the vendor data would lie.
    const TaggedRule rule = HoldsPayload(e) ? PayloadRule(place) : TaggedRule::kUnstoredData;
    return RecordResult(record, rule,
                        "data: " + OutsideText(place, start, e.dataLength, fileLength));
  }
  if (!grow && e.dataLength > uint64_t{e.size} * kSector) {
    return RecordResult(
        record, TaggedRule::kDataLargerThanArea,
        Format("data of %llu bytes is larger than its %u sectors", Ull(e.dataLength), e.size));
  }
  return RecordResult(record, std::nullopt, SectorSpan(e.offset, e.dataLength));
}

// A record whose data -U writes to a file named after it needs a name a
// file can take; -U refuses the image otherwise.
void CheckRecordName(const TaggedRecord& record, std::vector<Check>& checks) {
  if (!ExtractsToNamedFile(record.entry) || HasPlainRecordName(record.entry)) return;
  AddCheck(checks, RecordName(record), false,
           "the name is no plain file name (empty, . or .., a / or \\, a control character, or "
           "no end within its 32 bytes), so -U cannot write its file");
  FailsWith(checks, TaggedRule::kNameNotPlain);
  checks.back().record = record.index;
}

// Sectors that a record's partition takes on the storage, as a flashing
// tool writes it: its area, or where its data ends when a growing payload
// is not held to its size. Nothing for a record that writes nothing
// (vendor, skipped, a boot block record after the first, an empty area).
std::optional<SectorExtent> RecordSectors(const TaggedImageFacts& facts, size_t i) {
  const PartitionEntry& e = facts.records[i].entry;
  const bool last = i + 1 == facts.header.entryCount;
  const bool fill = (e.flag & PART_FLAG_FILL) != 0;
  const bool grow = (e.flag & PART_FLAG_GROW) != 0;
  const bool sizeKnown = !TaggedSizeUnknown(e, last);
  const uint64_t dataSectors = (e.dataLength + kSector - 1) / kSector;
  uint64_t sectors = e.size;
  if (e.type == PART_TYPE_VENDOR) return std::nullopt;
  if (e.type == PART_TYPE_IDBLOCK) {
    if (!facts.boot || facts.boot->record != i) return std::nullopt;
    if (!sizeKnown) sectors = (uint64_t{facts.boot->layout.WrittenBytes()} + kSector - 1) / kSector;
  } else if (fill) {
    if (!sizeKnown) return std::nullopt;
  } else if ((e.flag & PART_FLAG_SKIP) != 0) {
    return std::nullopt;
  } else if (grow) {
    sectors = sizeKnown ? std::max(sectors, dataSectors) : dataSectors;
  }
  if (sectors == 0) return std::nullopt;
  return SectorExtent{e.offset, uint64_t{e.offset} + sectors - 1};
}

std::string SpanText(const SectorExtent& span) {
  return Format("sectors 0x%llx-0x%llx", Ull(span.first), Ull(span.last));
}

// A flashing tool writes every partition at its sectors: two partitions
// that share a sector, or one on the image's own sectors 0 to 63, destroy
// each other. Only failures are listed.
void CheckOverlaps(const TaggedImageFacts& facts, std::vector<Check>& checks) {
  std::vector<std::optional<SectorExtent>> spans;
  for (size_t i = 0; i < facts.records.size(); ++i) spans.push_back(RecordSectors(facts, i));
  for (const FoldedProblem& folded : FoldOverlaps(FindTaggedLayoutProblems(spans))) {
    const LayoutProblem& problem = folded.problem;
    const std::string self =
        RecordName(facts.records[problem.partition]) + " at " + SpanText(problem.span);
    if (problem.rule == LayoutRule::kReservedArea) {
      AddCheck(checks, "overlap", false,
               self + Format(" overlaps the header, table and vendor area at sectors 0x0-0x%llx",
                             Ull(problem.area.last)));
      FailsWith(checks, TaggedRule::kOverlap);
    } else if (problem.rule == LayoutRule::kOverlap) {
      AddCheck(checks, "overlap", false,
               self + " overlaps " + RecordName(facts.records[problem.other]) + " at " +
                   SpanText(problem.area) + folded.AndMore());
      FailsWith(checks, TaggedRule::kOverlap);
    }
  }
}

using BootSectorBytes = std::array<uint8_t, kBootSector>;

const char* SectorsText(BootSectors state) {
  return state == BootSectors::kPlain ? "plain" : "scrambled";
}

// The first copy gathered into the block as built, with its control sectors
// as they read.
struct BootContent {
  std::vector<uint8_t> block;
  BootSectorBytes header{};  // plain when readable
  BootSectorBytes check{};
};

void CheckBootSectors(const BootBlockFacts& boot, const BootContent& content,
                      std::vector<Check>& checks) {
  const std::span<const uint8_t> signature =
      std::span(content.block).subspan(kBootSector, kBootSector);
  const std::string mark(signature.begin() + boot_signature_at::kMark,
                         signature.begin() + boot_signature_at::kMark + 4);
  const bool nano = boot.layout.nano;
  const std::array<uint8_t, 4>& expected = LayoutMark(nano);
  const bool markOk =
      std::equal(expected.begin(), expected.end(), signature.begin() + boot_signature_at::kMark);
  AddCheck(checks, "boot signature", markOk,
           markOk ? "\"" + mark + "\", as the record's layout"
                  : Format("the %s layout's mark is missing", nano ? "Nano" : "standard"));
  FailsWith(checks, TaggedRule::kBootSignature);

  const bool headerRead = boot.header != BootSectors::kUnreadable;
  const bool checkRead = boot.check != BootSectors::kUnreadable;
  if (!headerRead && !checkRead) {
    AddCheck(checks, "boot sectors", CheckStatus::kNotMade,
             "cannot be made: the control sectors read neither plain nor with the key");
  } else if (!headerRead || !checkRead) {
    AddCheck(checks, "boot sectors", false,
             Format("the %s sector has lost its marks", headerRead ? "check" : "header"));
    FailsWith(checks, TaggedRule::kBootSectors);
  } else {
    AddCheck(checks, "boot sectors", true,
             Format("header %s, check %s", SectorsText(boot.header), SectorsText(boot.check)));
  }
  if (!headerRead || !checkRead) {
    AddCheck(checks, "boot sector crcs", CheckStatus::kNotMade,
             "cannot be made without the sectors");
    return;
  }
  BootSectorBytes spare{};
  std::copy_n(content.block.begin() + 3 * kBootSector, kBootSector, spare.begin());
  // The standard layout scrambles the spare sector with the header.
  if (!nano && boot.header == BootSectors::kScrambled) Rc4Crypt(spare);
  ByteReader reader(content.check);
  const bool ok = reader.U16(boot_check_at::kHeaderCrc) == Crc16(content.header) &&
                  reader.U16(boot_check_at::kSignatureCrc) == Crc16(signature) &&
                  reader.U16(boot_check_at::kSpareCrc) == Crc16(spare);
  AddCheck(
      checks, "boot sector crcs", ok,
      ok ? "header, signature and spare sector" : "a control sector differs from its checksum");
  FailsWith(checks, TaggedRule::kBootSectorCrcs);
}

void CheckBootCode(const BootBlockFacts& boot, const BootContent& content,
                   std::vector<Check>& checks) {
  const std::vector<uint8_t>& block = content.block;
  const uint64_t codeLength = uint64_t{boot.layout.CodeSectors()} * kBootSector;
  const size_t codeStart = kBootControlSectors * kBootSector;
  if (boot.check == BootSectors::kUnreadable) {
    AddCheck(checks, "boot code crc", CheckStatus::kNotMade,
             "cannot be made without the check sector");
  } else if (codeLength > block.size() - codeStart) {
    AddCheck(checks, "boot code crc", false, "the code area runs past the block");
    FailsWith(checks, TaggedRule::kBootCodeCrc);
  } else {
    const uint32_t stored = ByteReader(content.check).U32(boot_check_at::kCodeCrc);
    const uint32_t computed =
        Crc32Msb(std::span(block).subspan(codeStart, static_cast<size_t>(codeLength)));
    AddCheck(checks, "boot code crc", stored == computed,
             stored == computed ? Format("0x%08x over %llu bytes", stored, Ull(codeLength))
                                : Format("stored 0x%08x, computed 0x%08x", stored, computed));
    FailsWith(checks, TaggedRule::kBootCodeCrc);
  }
  if (!boot.layout.nano) return;
  if (boot.header == BootSectors::kUnreadable) {
    AddCheck(checks, "boot ddr crcs", CheckStatus::kNotMade,
             "cannot be made without the header sector");
    return;
  }
  // The checksums cover the DDR copy area as it read before scrambling.
  std::array<uint8_t, kNanoDdrLimit> ddr{};
  std::copy_n(block.begin() + kNanoFirstDdrSector * kBootSector, ddr.size(), ddr.begin());
  if (boot.Programs() == ProgramStorage::kScrambled) {
    const size_t programBytes = std::min<size_t>(boot.fields.firstFileLength, ddr.size());
    ScrambleProgramBlocks(std::span(ddr).first(programBytes));
  }
  ByteReader header(content.header);
  bool ok = true;
  for (size_t k = 0; k < kNanoDdrCopySectors; ++k) {
    ok = ok && header.U16(boot_header_at::kNanoDdrCrcs + 2 * k) ==
                   CrcCcitt(std::span(ddr).subspan(k * kBootSector, kBootSector));
  }
  AddCheck(checks, "boot ddr crcs", ok,
           ok ? "8 sectors of the DDR program" : "a DDR sector differs");
  FailsWith(checks, TaggedRule::kBootDdrCrcs);
}

void CheckBootCopies(const BootBlockFacts& boot, std::vector<Check>& checks) {
  if (!boot.secondCopy) {
    AddCheck(checks, "boot copies", CheckStatus::kNotMade,
             "cannot be made: a growing last partition does not record where the second copy lies");
  } else if (boot.copies == ByteMatch::kNotMade) {
    AddCheck(checks, "boot copies", false, "a copy does not lie in the image");
    FailsWith(checks, TaggedRule::kBootCopies);
  } else {
    const bool equal = boot.copies == ByteMatch::kEqual;
    AddCheck(checks, "boot copies", equal,
             Format("%s at sectors 0x%llx and 0x%llx", equal ? "equal" : "differ",
                    Ull(boot.firstCopy / kSector), Ull(*boot.secondCopy / kSector)));
    FailsWith(checks, TaggedRule::kBootCopies);
  }
}

// The first boot block record and its block: where the copies lie, how the
// control sectors are stored, and the checks of the block's own fields,
// made on the first copy.
void ReadBootBlock(ImageSource& source, TaggedImageFacts& facts, std::vector<Check>& checks) {
  const auto found = std::find_if(facts.records.begin(), facts.records.end(),
                                  [](const auto& r) { return r.entry.type == PART_TYPE_IDBLOCK; });
  if (found == facts.records.end()) {
    AddCheck(checks, "boot block", false, "no record of type 2");
    FailsWith(checks, TaggedRule::kNoBootBlock);
    return;
  }
  BootBlockFacts boot;
  boot.record = static_cast<size_t>(found - facts.records.begin());
  const PartitionEntry& e = found->entry;
  boot.fields = GetBootFields(e);
  boot.layout = BootBlockLayoutOf(e);
  boot.firstCopy = uint64_t{e.offset} * kSector;
  const bool last = boot.record + 1 == facts.header.entryCount;
  if (!TaggedSizeUnknown(e, last)) {
    boot.secondCopy = SecondBootCopySector(e.offset, e.size) * kSector;
  }
  const uint32_t written = boot.layout.WrittenBytes();
  // Only a block the format can describe is read: its sector counts are
  // 16-bit fields, which bounds the memory a hostile record can claim.
  BootBlockLayout possible;
  const bool describable =
      PlanBootBlockLayout(boot.layout.nano, boot.layout.gap, boot.fields.firstFileLength,
                          boot.fields.secondFileLength, possible);
  if (!describable) {
    AddCheck(checks, "boot block", false,
             Format("programs of %u and %u bytes do not fit a %s boot block",
                    boot.fields.firstFileLength, boot.fields.secondFileLength,
                    boot.layout.nano ? "Nano" : "standard"));
    FailsWith(checks, TaggedRule::kBootBlockTooLarge);
  } else if (source.Contains(boot.firstCopy, written)) {
    boot.written.resize(written);
    if (!source.Read(boot.firstCopy, boot.written)) boot.written.clear();
  }
  if (boot.secondCopy) {
    boot.copies = CompareRanges(source, boot.firstCopy, *boot.secondCopy, written);
  }
  CheckBootCopies(boot, checks);
  if (!boot.written.empty()) {
    BootContent content;
    content.block = boot.layout.gap ? GatherGaps(boot.written) : boot.written;
    boot.header = ReadControlSector(content.block, 0, HasHeaderMarks, content.header);
    boot.check = ReadControlSector(content.block, 2, HasCheckMarks, content.check);
    if (boot.header != BootSectors::kUnreadable) {
      boot.plainProgramsField = ByteReader(content.header).U32(boot_header_at::kPlainPrograms);
    }
    CheckBootSectors(boot, content, checks);
    CheckBootCode(boot, content, checks);
  }
  facts.boot = std::move(boot);
}

void CheckBackupBlock(ImageSource& source, TaggedImageFacts& facts, std::vector<Check>& checks) {
  facts.backupExpected = facts.header.backupDisabled == 0;
  // The block follows the last byte of the partition areas, so it is the
  // end of the file.
  facts.backupPosition = facts.fileLength - std::min<uint64_t>(facts.fileLength, kBackupBlockSize);
  if (!facts.backupExpected) {
    AddCheck(checks, "backup block", true, "none, the header says so");
    return;
  }
  TableBlock front{};
  TableBlock back{};
  if (source.Read(0, front) && source.Read(facts.backupPosition, back)) {
    facts.backupBlock = back == MakeBackupBlock(front) ? ByteMatch::kEqual : ByteMatch::kDiffer;
  }
  const std::string where = Format("at byte 0x%llx", Ull(facts.backupPosition));
  if (facts.backupBlock == ByteMatch::kNotMade) {
    AddCheck(checks, "backup block", false, where + " does not lie in the image");
    FailsWith(checks, TaggedRule::kBackupBlock);
  } else {
    const bool equal = facts.backupBlock == ByteMatch::kEqual;
    AddCheck(checks, "backup block", equal,
             where + (equal ? ", equal to header and table" : ", differs from header and table"));
    FailsWith(checks, TaggedRule::kBackupBlock);
  }
}

}  // namespace

void AddCheck(std::vector<Check>& checks, std::string name, CheckStatus status,
              std::string detail) {
  checks.push_back({std::move(name), status, std::move(detail)});
}

void AddCheck(std::vector<Check>& checks, std::string name, bool ok, std::string detail) {
  AddCheck(checks, std::move(name), ok ? CheckStatus::kOk : CheckStatus::kBad, std::move(detail));
}

void AddCrcCheck(std::vector<Check>& checks, std::string name, uint32_t stored, uint32_t computed) {
  AddCheck(checks, std::move(name), stored == computed,
           stored == computed ? Format("0x%08x", stored)
                              : Format("stored 0x%08x, computed 0x%08x", stored, computed));
}

namespace {

// Length of the well-formed UTF-8 sequence at `at`, or 0 when the bytes
// there are none (a stray continuation byte, an overlong or surrogate form,
// a sequence cut short).
size_t Utf8Length(const std::string& text, size_t at) {
  const auto byte = [&](size_t i) {
    return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u;
  };
  const unsigned lead = byte(at);
  size_t length = 0;
  unsigned low = 0x80;
  unsigned high = 0xBF;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  for (size_t i = 1; i < length; ++i) {
    const unsigned next = byte(at + i);
    if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return 0;
  }
  return length;
}

// "\xHH" for a byte: a name of a hostile image may be all such bytes, and
// its listing repeats it in every check that names it.
void AppendHexEscape(std::string& shown, char c) {
  constexpr std::string_view kHex = "0123456789ABCDEF";
  const auto byte = static_cast<unsigned char>(c);
  shown += "\\x";
  shown += kHex[byte >> 4];
  shown += kHex[byte & 0xF];
}

}  // namespace

std::string Printable(const std::string& text) {
  // Most names are plain ASCII and are shown as they are.
  if (std::all_of(text.begin(), text.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b >= 0x20 && b < 0x7F;
      })) {
    return text;
  }
  std::string shown;
  for (size_t at = 0; at < text.size();) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const size_t length = Utf8Length(text, at);
    // U+0080 to U+009F are the C1 controls, C2 80 to C2 9F in UTF-8.
    const bool c1 = length == 2 && lead == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0;
    if (length == 0 || lead < 0x20 || lead == 0x7F || c1) {
      const size_t count = c1 ? 2 : 1;
      for (size_t i = 0; i < count; ++i) AppendHexEscape(shown, text[at + i]);
      at += count;
      continue;
    }
    shown.append(text, at, length);
    at += length;
  }
  return shown;
}

TaggedRule PayloadRule(PayloadPlace place) {
  switch (place) {
    case PayloadPlace::kTooLong:
      return TaggedRule::kDataTooLong;
    case PayloadPlace::kBeyondLimit:
      return TaggedRule::kDataBeyondLimit;
    case PayloadPlace::kInside:
    case PayloadPlace::kPastEnd:
      break;
  }
  return TaggedRule::kDataPastEnd;
}

bool HasProblem(const std::vector<Check>& checks, TaggedRule rule, std::optional<uint32_t> record) {
  return std::any_of(checks.begin(), checks.end(), [&](const Check& c) {
    return c.status == CheckStatus::kBad && (!record || c.record == record) &&
           std::find(c.problems.begin(), c.problems.end(), rule) != c.problems.end();
  });
}

bool AllChecksHold(const std::vector<Check>& checks) {
  return std::none_of(checks.begin(), checks.end(),
                      [](const Check& c) { return c.status == CheckStatus::kBad; });
}

FileForm RecognizeImage(ImageSource& source) {
  std::array<uint8_t, kFirmwareTag.size()> tag{};
  if (source.Read(0, tag) && std::equal(kFirmwareTag.begin(), kFirmwareTag.end(), tag.begin())) {
    return {ImageKind::kTagged, {}};
  }
  return RecognizeDisk(source);
}

ImageKind IdentifyImage(ImageSource& source) { return RecognizeImage(source).kind; }

ProgramStorage BootBlockFacts::Programs() const {
  if (!plainProgramsField) return ProgramStorage::kUnknown;
  if (*plainProgramsField == 0) return ProgramStorage::kScrambled;
  if (*plainProgramsField == 1) return ProgramStorage::kPlain;
  return ProgramStorage::kUnknown;
}

TaggedImageFacts ReadTaggedImage(ImageSource& source) {
  TaggedImageFacts facts;
  facts.fileLength = source.Length();
  std::vector<Check>& checks = facts.checks;
  ReadHeader(source, facts);
  CheckHeader(facts, checks);
  const size_t headerCheck = 0;
  const size_t recordsCheck = checks.size();
  ReadRecords(source, facts, checks);
  const bool recordsUnread = checks[recordsCheck].status == CheckStatus::kBad &&
                             checks[recordsCheck].problems.front() == TaggedRule::kRecordsUnread;
  CheckTablePlace(facts, checks[headerCheck], recordsUnread ? &checks[recordsCheck] : nullptr);
  CheckImageLength(facts, checks);
  ReadVendorArea(source, facts);
  std::vector<Check> bootChecks;
  ReadBootBlock(source, facts, bootChecks);
  for (size_t i = 0; i < facts.records.size(); ++i) {
    const TaggedRecord& record = facts.records[i];
    const bool last = i + 1 == facts.header.entryCount;
    if (record.entry.type != PART_TYPE_IDBLOCK) {
      checks.push_back(RecordCheck(record, last, facts.fileLength));
      CheckRecordName(record, checks);
    } else if (facts.boot && facts.boot->record == i) {
      checks.push_back(BootRecordCheck(record, *facts.boot, facts.fileLength));
    } else {
      checks.push_back(
          RecordResult(record, std::nullopt, "not built: only the first boot block record is"));
    }
  }
  CheckOverlaps(facts, checks);
  CheckBackupBlock(source, facts, checks);
  checks.insert(checks.end(), bootChecks.begin(), bootChecks.end());
  return facts;
}

}  // namespace imgweld
