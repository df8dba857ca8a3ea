#include <algorithm>
#include <cstdio>
#include <string>

#include "common/ByteIO.h"
#include "common/Output.h"
#include "image/Checksums.h"
#include "image/ImageReader.h"
#include "image/gpt/GptLayout.h"

namespace imgweld {
namespace {

constexpr uint64_t kSector = kSectorSize;
constexpr size_t kCrcField = 16;
// The header field that leaves the disk size open (diskEnd all ones).
constexpr uint64_t kOpenBackupLba = kOpenDiskEnd - 1;
// A larger array is not read: GPT tools write 16 KiB, and 1024 entries of
// 128 bytes keep the checks of every pair of entries quick.
constexpr uint64_t kMaxArrayBytes = uint64_t{128} << 10;
// The four partition records of an MBR.
constexpr size_t kMbrRecords = 4;
constexpr size_t kMbrRecordsAt = 446;
constexpr size_t kMbrRecordSize = 16;
constexpr uint8_t kProtectiveType = 0xEE;

// The check just added, when it fails, fails with `rule`.
void FailsWith(std::vector<Check>& checks, GptRule rule) {
  if (checks.back().status == CheckStatus::kBad) checks.back().gptProblems.push_back(rule);
}

// A failed check of entry `record` (or of none) and each thing it found.
void AddFailure(std::vector<Check>& checks, std::string name, std::string detail,
                std::vector<GptRule> rules, std::optional<uint32_t> record = std::nullopt) {
  AddCheck(checks, std::move(name), false, std::move(detail));
  checks.back().gptProblems = std::move(rules);
  checks.back().record = record;
}

// Crc32 of a header's first `headerSize` bytes with its checksum field zero,
// or nothing when that size cannot be a header's.
std::optional<uint32_t> HeaderCrc(const SectorBytes& bytes, uint32_t headerSize) {
  if (headerSize < kCrcField + 4 || headerSize > bytes.size()) return std::nullopt;
  SectorBytes copy = bytes;
  std::fill_n(copy.begin() + kCrcField, 4, 0);
  return Crc32(std::span<const uint8_t>(copy).first(headerSize), 0);
}

uint64_t ArrayBytes(const GptHeader& h) { return uint64_t{h.entryCount} * h.entrySize; }
uint64_t ArraySectors(const GptHeader& h) { return (ArrayBytes(h) + kSector - 1) / kSector; }

// The array a header names; nothing when it cannot be one (entries of
// fewer than 128 bytes or not a multiple of 8), is larger than is read, or
// does not lie in the image.
std::optional<std::vector<uint8_t>> ReadArray(ImageSource& source, const GptHeader& h) {
  const uint64_t bytes = ArrayBytes(h);
  if (h.entrySize < kGptEntrySize || h.entrySize % 8 != 0 || bytes == 0 || bytes > kMaxArrayBytes ||
      h.arrayLba > source.Length() / kSector) {
    return std::nullopt;
  }
  std::vector<uint8_t> array(static_cast<size_t>(bytes));
  if (!source.Read(h.arrayLba * kSector, array)) return std::nullopt;
  return array;
}

bool HasPackerMark(const GptHeader& h) {
  return h.layoutMarker == kGptCompactMarker || h.layoutMarker == kGptPaddedMarker;
}

// A GPT header and its array as read at one sector.
struct GptAt {
  SectorBytes bytes{};
  bool signature = false;
  GptHeader header;
  std::optional<uint32_t> headerCrc;  // computed
  std::optional<std::vector<uint8_t>> array;
  std::optional<uint32_t> arrayCrc;  // computed

  // Why a reader cannot use it as the header of sector `lba`; empty when it
  // is sound. The packer's backup of a disk left open names no sector of its
  // own, which its layout mark excuses.
  std::string Fault(uint64_t lba) const {
    if (!signature) return Format("has no header at sector %llu", Ull(lba));
    if (headerCrc != header.headerCrc) return "fails its checksum";
    const bool open = header.currentLba == kOpenBackupLba && HasPackerMark(header);
    if (header.currentLba != lba && !open) {
      return Format("names sector %llu as its own", Ull(header.currentLba));
    }
    if (!array) return "has no partition array in the image";
    if (arrayCrc != header.arrayCrc) return "fails its checksum";
    return {};
  }
};

// The packer's backup of a disk it leaves open follows the last payload
// byte, wherever that ends, with its array right before it: it lies at the
// end of the file, not at a whole sector.
bool IsOpenPackerBackup(const GptHeader& h) {
  return h.currentLba == kOpenBackupLba && HasPackerMark(h);
}

GptAt ReadGptAtByte(ImageSource& source, uint64_t position) {
  GptAt gpt;
  if (position <= source.Length()) source.Read(position, gpt.bytes);
  gpt.signature = HasGptSignature(gpt.bytes);
  gpt.header = DecodeGptHeader(gpt.bytes);
  gpt.headerCrc = HeaderCrc(gpt.bytes, gpt.header.headerSize);
  if (!IsOpenPackerBackup(gpt.header)) {
    gpt.array = ReadArray(source, gpt.header);
  } else if (const uint64_t bytes = ArrayBytes(gpt.header);
             bytes > 0 && bytes <= kMaxArrayBytes && bytes <= position) {
    std::vector<uint8_t> array(static_cast<size_t>(bytes));
    if (source.Read(position - bytes, array)) gpt.array = std::move(array);
  }
  if (gpt.array) gpt.arrayCrc = Crc32(*gpt.array, 0);
  return gpt;
}

GptAt ReadGptAt(ImageSource& source, uint64_t lba) {
  return ReadGptAtByte(source, lba <= source.Length() / kSector ? lba * kSector : source.Length());
}

// Both GPTs of a disk as read, for the checks.
struct GptReading {
  GptAt primary;
  std::optional<GptAt> backup;
};

// The backup: at the sector the primary names, when that lies in the
// image, or at the last sector when the primary leaves the disk open. A
// primary that is not sound names nothing for sure, so the last sector is
// also tried, as UEFI readers try it.
std::optional<GptAt> FindBackup(ImageSource& source, const GptAt& primary, bool primarySound,
                                GptImageFacts& facts) {
  const uint64_t sectors = facts.fileLength / kSector;
  const uint64_t named = primary.header.backupLba;
  std::vector<uint64_t> places;
  if (primary.signature && named > kGptHeaderLba && named < sectors) places.push_back(named);
  const bool tryLast = !primarySound || (primary.signature && named == kOpenBackupLba);
  if (tryLast && sectors > kGptHeaderLba + 1 && (places.empty() || places[0] != sectors - 1)) {
    places.push_back(sectors - 1);
  }
  std::vector<uint64_t> positions;
  for (const uint64_t lba : places) positions.push_back(lba * kSector);
  // A disk the packer left open ends with its backup, at a whole sector
  // only when the last payload does.
  if (primary.signature && named == kOpenBackupLba && HasPackerMark(primary.header) &&
      facts.fileLength % kSector != 0 && facts.fileLength > (kGptHeaderLba + 1) * kSector) {
    positions.insert(positions.begin(), facts.fileLength - kSector);
  }
  if (!positions.empty()) facts.backupPosition = positions[0];
  std::optional<GptAt> found;
  for (const uint64_t position : positions) {
    GptAt gpt = ReadGptAtByte(source, position);
    if (!gpt.signature) continue;
    const bool sound = gpt.Fault(position / kSector).empty();
    if (found && !sound) continue;
    found = std::move(gpt);
    facts.backupPosition = position;
    if (sound) break;
  }
  return found;
}

// The backup header as the primary it stands in for: its own sector and
// the other's exchanged, the array at sector 2.
GptHeader PrimaryForm(const GptHeader& backup) {
  GptHeader header = backup;
  std::swap(header.currentLba, header.backupLba);
  header.arrayLba = kGptArrayLba;
  return header;
}

// The entries of the array in use. The packer's partition count of its
// private fields does not hide the other entries that have a type: every
// GPT reader takes them.
void ReadEntries(GptImageFacts& facts, const std::optional<std::vector<uint8_t>>& array) {
  if (!array) return;
  const GptHeader& h = facts.header;
  const bool packer = facts.PackerLayout();
  const uint32_t counted = packer ? std::min<uint32_t>(h.partitionCount, h.entryCount) : 0;
  for (uint32_t i = 0; i < h.entryCount; ++i) {
    GptEntryFacts entry;
    entry.index = i;
    entry.entry = DecodeGptEntry(std::span<const uint8_t, kGptEntrySize>(
        array->data() + size_t{i} * h.entrySize, kGptEntrySize));
    if (i >= counted && entry.entry.typeGuid == Guid{}) continue;
    const std::optional<std::string> name = NarrowName(entry.entry.name);
    if (name) {
      entry.name = *name;
    } else {
      // Units no byte widens to are shown as the byte 0xFF, which is no
      // text and so shows escaped.
      for (uint16_t unit : entry.entry.name) {
        if (unit == 0) break;
        entry.name.push_back(unit < 0x80 ? static_cast<char>(unit) : '\xFF');
      }
    }
    if (i < kMaxGptPartitions && i < counted) entry.recordedLength = h.dataLengths[i];
    facts.entries.push_back(entry);
  }
}

// The first record of type 0xEE, or nothing.
std::optional<size_t> ProtectiveRecord(std::span<const uint8_t> mbr) {
  for (size_t i = 0; i < kMbrRecords; ++i) {
    if (mbr[kMbrRecordsAt + i * kMbrRecordSize + 4] == kProtectiveType) return i;
  }
  return std::nullopt;
}

bool HasBootSignature(std::span<const uint8_t> mbr) {
  return mbr[kSectorSize - 2] == 0x55 && mbr[kSectorSize - 1] == 0xAA;
}

// The packer writes the one protective record and nothing else; other
// tools fill in the CHS fields and cover the disk's sectors (UEFI: the
// disk less sector 0, or 0xFFFFFFFF for a larger disk), and a hybrid MBR
// adds records for partitions, which every GPT reader accepts.
void CheckMbr(const GptImageFacts& facts, std::vector<Check>& checks) {
  const ProtectiveMbr mbr = DecodeProtectiveMbr(facts.mbrBytes);
  if (facts.PackerLayout()) {
    const bool ok = facts.mbrBytes == EncodeProtectiveMbr(ProtectiveMbr{});
    AddCheck(checks, "protective mbr", ok,
             ok ? "one record of type 0xee from sector 1 over 0xffffffff sectors"
                : Format("type 0x%02x from sector %u over 0x%x sectors, or other bytes not zero",
                         mbr.partitionType, mbr.firstLba, mbr.sectorCount));
    FailsWith(checks, GptRule::kMbrNotPackers);
    // Records beside the protective one are among the other bytes; they
    // are named apart, as on other disks, so a hybrid MBR is known by its
    // kind whichever tool wrote the GPT.
    if (facts.HybridRecords() != 0) FailsWith(checks, GptRule::kHybridMbr);
    return;
  }
  const std::optional<size_t> record = ProtectiveRecord(facts.mbrBytes);
  if (!record || !HasBootSignature(facts.mbrBytes)) {
    AddFailure(checks, "protective mbr", "no record of type 0xee, or no signature 55 aa",
               {GptRule::kNoProtectiveRecord});
    return;
  }
  ByteReader reader(facts.mbrBytes);
  const size_t at = kMbrRecordsAt + *record * kMbrRecordSize;
  const uint32_t first = reader.U32(at + 8);
  const uint32_t count = reader.U32(at + 12);
  const uint64_t disk = std::min<uint64_t>(facts.fileLength / kSector - 1, 0xFFFFFFFF);
  const std::string which = Format("record %zu of type 0xee", *record + 1);
  if (first != kGptHeaderLba) {
    AddFailure(checks, "protective mbr",
               Format("%s starts at sector %u, not 1", which.c_str(), first),
               {GptRule::kProtectiveStart});
  } else if (facts.HybridRecords() != 0) {
    AddCheck(checks, "protective mbr", true,
             Format("a hybrid MBR: %s from sector 1, and %u more in use", which.c_str(),
                    facts.HybridRecords()));
    checks.back().gptProblems.push_back(GptRule::kHybridMbr);
  } else if (count != disk && count != 0xFFFFFFFF) {
    AddFailure(checks, "protective mbr",
               Format("%s covers 0x%x sectors, the disk has 0x%llx after sector 0", which.c_str(),
                      count, Ull(disk)),
               {GptRule::kProtectiveSize});
  } else {
    AddCheck(checks, "protective mbr", true,
             Format("one record of type 0xee from sector 1 over 0x%x sectors", count));
  }
}

// What a header check found wrong: in words, and by kind.
struct HeaderFaults {
  std::string text;
  std::vector<GptRule> rules;

  void Note(GptRule rule, const std::string& what) {
    text += (text.empty() ? "" : ", ") + what;
    rules.push_back(rule);
  }
};

// What is wrong with the primary header's fields every GPT has, and on the
// packer's images with its own layout: the array of 128 entries at sector
// 2, the private fields. Empty when nothing is.
HeaderFaults HeaderProblems(const GptImageFacts& facts) {
  const GptHeader& h = facts.primary;
  const bool packer = facts.PackerLayout();
  HeaderFaults faults;
  if (h.revision != kGptRevision) {
    faults.Note(GptRule::kHeaderRevision, Format("revision 0x%08x", h.revision));
  }
  if (packer ? h.headerSize != kGptHeaderSize
             : h.headerSize < kGptHeaderSize || h.headerSize > kSectorSize) {
    faults.Note(GptRule::kHeaderSize, Format("header size %u", h.headerSize));
  }
  if (h.currentLba != kGptHeaderLba) {
    faults.Note(GptRule::kHeaderOwnSector, Format("own sector %llu", Ull(h.currentLba)));
  }
  if (packer) {
    if (h.firstUsableLba != kGptFirstUsableLba) {
      faults.Note(GptRule::kFirstUsable, Format("first usable sector %llu", Ull(h.firstUsableLba)));
    }
    if (h.arrayLba != kGptArrayLba || h.entryCount != kGptEntryCount ||
        h.entrySize != kGptEntrySize) {
      faults.Note(GptRule::kArrayPlace, Format("array of %u entries of %u bytes at sector %llu",
                                               h.entryCount, h.entrySize, Ull(h.arrayLba)));
    }
    if (h.layoutMarker != facts.header.layoutMarker) {
      faults.Note(GptRule::kLayoutMark, Format("layout marker 0x%04x", h.layoutMarker));
    }
    if (h.partitionCount > kMaxGptPartitions) {
      faults.Note(GptRule::kPartitionCount, Format("%u partitions", h.partitionCount));
    }
    return faults;
  }
  const uint64_t arrayEnd = h.arrayLba + ArraySectors(h);
  if (h.entrySize < kGptEntrySize || h.entrySize % 8 != 0 || h.entryCount == 0 ||
      h.arrayLba <= kGptHeaderLba || arrayEnd < h.arrayLba || arrayEnd > h.firstUsableLba) {
    faults.Note(
        GptRule::kArrayPlace,
        Format("array of %u entries of %u bytes at sector %llu before the first usable sector "
               "%llu",
               h.entryCount, h.entrySize, Ull(h.arrayLba), Ull(h.firstUsableLba)));
  }
  if (h.firstUsableLba > h.lastUsableLba || h.lastUsableLba >= h.backupLba) {
    faults.Note(GptRule::kUsableRange,
                Format("usable sectors 0x%llx-0x%llx with the backup at sector 0x%llx",
                       Ull(h.firstUsableLba), Ull(h.lastUsableLba), Ull(h.backupLba)));
  }
  return faults;
}

// The primary header, its checksum and its array's.
void CheckHeader(const GptImageFacts& facts, std::vector<Check>& checks) {
  const GptHeader& h = facts.primary;
  const bool packer = facts.PackerLayout();
  HeaderFaults faults = HeaderProblems(facts);
  if (!HasGptSignature(facts.headerBytes)) {
    AddFailure(checks, "gpt header", "no header at sector 1", {GptRule::kNoHeader});
  } else if (!faults.rules.empty()) {
    AddFailure(checks, "gpt header", "unexpected " + faults.text, std::move(faults.rules));
  } else if (packer) {
    AddCheck(checks, "gpt header", true,
             Format("%s layout, %u partitions", facts.Compact() ? "compact" : "padded",
                    h.partitionCount));
  } else {
    AddCheck(
        checks, "gpt header", true,
        Format("%u entries of %u bytes at sector %llu, usable sectors 0x%llx-0x%llx", h.entryCount,
               h.entrySize, Ull(h.arrayLba), Ull(h.firstUsableLba), Ull(h.lastUsableLba)));
  }
  if (!packer) {
    AddCheck(checks, "packer fields", CheckStatus::kNotMade,
             "not checked: no layout mark of the packer's at byte 108, a disk of another tool");
  }
  if (!facts.computedHeaderCrc) {
    AddFailure(checks, "header crc", Format("stored 0x%08x over an impossible size", h.headerCrc),
               {GptRule::kHeaderCrc});
  } else {
    AddCrcCheck(checks, "header crc", h.headerCrc, *facts.computedHeaderCrc);
    FailsWith(checks, GptRule::kHeaderCrc);
  }
  if (!facts.computedArrayCrc) {
    AddFailure(checks, "array crc", "the partition array does not lie in the image",
               {GptRule::kArrayOutside});
  } else {
    AddCrcCheck(checks, "array crc", h.arrayCrc, *facts.computedArrayCrc);
    FailsWith(checks, GptRule::kArrayCrc);
  }
}

// Each entry inside the usable sectors, and its payload inside the file: at
// its first sector in the padded layout; in the compact layout the payloads
// follow the GPT back to back, so their lengths so far must fit the file.
void CheckEntries(const GptImageFacts& facts, std::vector<Check>& checks) {
  const GptHeader& h = facts.header;
  uint64_t compactEnd = kGptFirstUsableLba * kSector;
  for (const GptEntryFacts& e : facts.entries) {
    const std::string name = Format("entry %u %s", e.index, Printable(e.name).c_str());
    const uint64_t first = e.entry.firstLba;
    const uint64_t last = e.entry.lastLba;
    if (first > last || first < h.firstUsableLba || last > h.lastUsableLba) {
      AddFailure(checks, name,
                 Format("sectors 0x%llx-0x%llx outside the usable 0x%llx-0x%llx", Ull(first),
                        Ull(last), Ull(h.firstUsableLba), Ull(h.lastUsableLba)),
                 {GptRule::kEntryOutsideUsable}, e.index);
      continue;
    }
    const uint64_t length = e.recordedLength.value_or(0);
    uint64_t end = 0;
    bool fits = true;
    if (facts.Compact()) {
      fits = length <= facts.fileLength - std::min(compactEnd, facts.fileLength);
      compactEnd += length;
      end = compactEnd;
    } else {
      // No bytes of data take no place, wherever the entry lies.
      fits = length == 0 ||
             (first <= facts.fileLength / kSector && length <= facts.fileLength - first * kSector);
      end = first * kSector + length;
    }
    if (!fits) {
      AddFailure(checks, name,
                 Format("%llu bytes of data would end at byte 0x%llx, past the end of the image",
                        Ull(length), Ull(end)),
                 {GptRule::kPayloadPastEnd}, e.index);
    } else {
      AddCheck(checks, name, true, Format("sectors 0x%llx-0x%llx", Ull(first), Ull(last)));
      checks.back().record = e.index;
    }
  }
}

// Whether the backup header mirrors the primary: on the packer's images
// byte for byte as the packer makes it, private fields included; on other
// disks in every field UEFI has both headers share.
bool MirrorsPrimary(const GptImageFacts& facts, const GptReading& reading) {
  const GptAt& backup = *reading.backup;
  if (facts.PackerLayout()) {
    SectorBytes expected{};
    MakeBackupGptHeader(reading.primary.bytes, expected);
    return backup.bytes == expected;
  }
  const GptHeader& p = reading.primary.header;
  const GptHeader& b = backup.header;
  return b.revision == p.revision && b.headerSize == p.headerSize && b.currentLba == p.backupLba &&
         b.backupLba == p.currentLba && b.firstUsableLba == p.firstUsableLba &&
         b.lastUsableLba == p.lastUsableLba && b.diskGuid == p.diskGuid &&
         b.entryCount == p.entryCount && b.entrySize == p.entrySize && b.arrayCrc == p.arrayCrc;
}

// The backup header and array: sound, and mirroring the primary.
void CheckBackup(const GptImageFacts& facts, const GptReading& reading,
                 std::vector<Check>& checks) {
  const GptHeader& h = facts.header;
  if (facts.PackerLayout() && (h.backupEnabled == 0 || facts.Compact())) {
    AddCheck(checks, "backup gpt", true, "none, the header says so");
    return;
  }
  if (!facts.backupPosition) {
    const uint64_t named = reading.primary.header.backupLba;
    AddFailure(checks, "backup gpt",
               reading.primary.signature && named != kOpenBackupLba
                   ? Format("sector 0x%llx lies past the end of the image", Ull(named))
                   : "the image holds no backup header",
               {GptRule::kBackupMissing});
    return;
  }
  const uint64_t position = *facts.backupPosition;
  if (!reading.backup) {
    AddFailure(checks, "backup gpt", Format("no header at byte 0x%llx", Ull(position)),
               {GptRule::kBackupMissing});
    return;
  }
  const std::string where = Format("header at byte 0x%llx", Ull(position));
  const std::string fault = reading.backup->Fault(position / kSector);
  if (!fault.empty()) {
    AddFailure(checks, "backup gpt", where + " " + fault, {GptRule::kBackupUnsound});
  } else if (!MirrorsPrimary(facts, reading)) {
    AddFailure(checks, "backup gpt", where + " does not mirror the primary",
               {GptRule::kBackupHeaderDiffers});
  } else if (reading.backup->array != reading.primary.array) {
    AddFailure(checks, "backup gpt", where + ", its array differs from the primary's",
               {GptRule::kBackupArrayDiffers});
  } else {
    AddCheck(checks, "backup gpt", true, where + ", header and array mirror the primary");
  }
}

std::string EntryName(const GptEntryFacts& e) {
  return Format("entry %u %s", e.index, Printable(e.name).c_str());
}

// An entry past the header's partition count that has a type is used by
// every GPT reader, but was never written by the packer.
void CheckUncounted(const GptImageFacts& facts, std::vector<Check>& checks) {
  if (!facts.PackerLayout()) return;
  for (const GptEntryFacts& e : facts.entries) {
    if (e.index < facts.header.partitionCount) continue;
    AddFailure(checks, EntryName(e),
               Format("in use at sectors 0x%llx-0x%llx, but the header counts %u partitions",
                      Ull(e.entry.firstLba), Ull(e.entry.lastLba), facts.header.partitionCount),
               {GptRule::kUncountedEntry}, e.index);
  }
}

// Entries that share a sector, or lie on the protective MBR and the GPT
// (sectors 0 to 33 of the packer's images), destroy each other when
// flashed. The compact layout's entries do not place its payloads, so they
// are not checked; on other disks the usable sectors keep the GPT clear.
void CheckOverlaps(const GptImageFacts& facts, std::vector<Check>& checks) {
  if (facts.Compact()) return;
  const bool packer = facts.PackerLayout();
  // Every entry of a hostile array may overlap every other: each entry's
  // text is made once, and its overlaps are named by the first.
  std::vector<std::string> texts;
  texts.reserve(facts.entries.size());
  std::vector<std::optional<SectorExtent>> spans;
  for (const GptEntryFacts& e : facts.entries) {
    texts.push_back(Format("%s at sectors 0x%llx-0x%llx", EntryName(e).c_str(),
                           Ull(e.entry.firstLba), Ull(e.entry.lastLba)));
    if (e.entry.firstLba > e.entry.lastLba) {
      spans.emplace_back();
    } else {
      spans.push_back(SectorExtent{e.entry.firstLba, e.entry.lastLba});
    }
  }
  for (const FoldedProblem& folded : FoldOverlaps(FindGptLayoutProblems(spans))) {
    const LayoutProblem& problem = folded.problem;
    const std::string& self = texts[problem.partition];
    const uint32_t entry = facts.entries[problem.partition].index;
    if (packer && problem.rule == LayoutRule::kReservedArea) {
      AddFailure(checks, "overlap",
                 self + Format(" overlaps the protective MBR and GPT at sectors 0x0-0x%llx",
                               Ull(problem.area.last)),
                 {GptRule::kReservedArea}, entry);
    } else if (problem.rule == LayoutRule::kOverlap) {
      AddFailure(checks, "overlap", self + " overlaps " + texts[problem.other] + folded.AndMore(),
                 {GptRule::kOverlap}, entry);
    }
  }
}

// The packer's images: the usable sectors end 33 sectors before the backup
// header, which ends the disk; with a backup that is the end of the file,
// without one the file ends no later than the usable sectors. A disk left
// open (compact layout, growing last partition) names no end.
void CheckPackerUsableRange(const GptImageFacts& facts, std::vector<Check>& checks) {
  const GptHeader& h = facts.header;
  const std::optional<uint64_t> diskEnd = facts.DiskEnd();
  if (!diskEnd) return;
  const uint64_t backupSectors = kGptBackupSectors;
  const uint64_t fileSectors = (facts.fileLength + kSector - 1) / kSector;
  if (h.lastUsableLba + backupSectors != h.backupLba) {
    AddFailure(checks, "usable sectors",
               Format("the last usable sector 0x%llx is not %llu sectors before the backup "
                      "header at sector 0x%llx",
                      Ull(h.lastUsableLba), Ull(backupSectors), Ull(h.backupLba)),
               {GptRule::kUsableEnd});
  } else if (*diskEnd > kPositionLimit / kSector) {
    AddFailure(checks, "usable sectors",
               Format("the disk of 0x%llx sectors reaches past 4 GiB", Ull(*diskEnd)),
               {GptRule::kDiskPastLimit});
  } else if (h.backupEnabled != 0 && fileSectors != *diskEnd) {
    AddFailure(checks, "usable sectors",
               Format("the backup header at sector 0x%llx does not end the file of 0x%llx "
                      "sectors",
                      Ull(h.backupLba), Ull(fileSectors)),
               {GptRule::kBackupNotAtEnd});
  } else if (h.backupEnabled == 0 && fileSectors > h.lastUsableLba + 1) {
    AddFailure(checks, "usable sectors",
               Format("the file of 0x%llx sectors reaches past the last usable sector 0x%llx",
                      Ull(fileSectors), Ull(h.lastUsableLba)),
               {GptRule::kFilePastUsable});
  }
}

// Other disks, as UEFI lays out a disk: the backup header in its last
// sector, the backup array between the usable sectors and it.
void CheckUsableRange(const GptImageFacts& facts, std::vector<Check>& checks) {
  if (facts.PackerLayout()) {
    CheckPackerUsableRange(facts, checks);
    return;
  }
  const GptHeader& h = facts.header;
  const uint64_t sectors = facts.fileLength / kSector;
  const uint64_t arraySectors = ArraySectors(h);
  if (h.backupLba + 1 != sectors) {
    AddFailure(checks, "usable sectors",
               Format("the backup header at sector 0x%llx does not end the disk of 0x%llx "
                      "sectors",
                      Ull(h.backupLba), Ull(sectors)),
               {GptRule::kBackupNotAtEnd});
  } else if (h.backupLba <= arraySectors || h.lastUsableLba >= h.backupLba - arraySectors) {
    AddFailure(checks, "usable sectors",
               Format("the last usable sector 0x%llx leaves no room for the backup array of "
                      "%llu sectors before the backup header at sector 0x%llx",
                      Ull(h.lastUsableLba), Ull(arraySectors), Ull(h.backupLba)),
               {GptRule::kUsableEnd});
  } else {
    AddCheck(checks, "usable sectors", true,
             Format("0x%llx-0x%llx, the backup array and header end the disk of 0x%llx sectors",
                    Ull(h.firstUsableLba), Ull(h.lastUsableLba), Ull(sectors)));
  }
}

}  // namespace

bool HasProblem(const std::vector<Check>& checks, GptRule rule, std::optional<uint32_t> record) {
  return std::any_of(checks.begin(), checks.end(), [&](const Check& c) {
    return (!record || c.record == record) &&
           std::find(c.gptProblems.begin(), c.gptProblems.end(), rule) != c.gptProblems.end();
  });
}

uint32_t GptImageFacts::HybridRecords() const {
  const std::optional<size_t> protective = ProtectiveRecord(mbrBytes);
  uint32_t others = 0;
  for (size_t i = 0; i < kMbrRecords; ++i) {
    if (i != protective && mbrBytes[kMbrRecordsAt + i * kMbrRecordSize + 4] != 0) ++others;
  }
  return others;
}

std::optional<uint64_t> GptImageFacts::DiskEnd() const {
  if (header.backupLba == kOpenBackupLba) return std::nullopt;
  return header.backupLba + 1;
}

FileForm RecognizeDisk(ImageSource& source) {
  SectorBytes sector{};
  if (!source.Read(0, sector) || !HasBootSignature(sector) || !ProtectiveRecord(sector)) {
    return {};
  }
  if (source.Read(kGptHeaderLba * kSector, sector) && HasGptSignature(sector)) {
    return {ImageKind::kGpt, {}};
  }
  // No header at sector 1: a UEFI reader takes the backup at the last sector.
  const uint64_t last = source.Length() / kSector - 1;
  if (source.Length() / kSector > kGptHeaderLba + 1 &&
      ReadGptAt(source, last).Fault(last).empty()) {
    return {ImageKind::kGpt, {}};
  }
  return {ImageKind::kOther,
          "it has a protective MBR, but no GPT header at sector 1 and no sound backup GPT at its "
          "last sector"};
}

GptImageFacts ReadGptImage(ImageSource& source) {
  GptImageFacts facts;
  facts.fileLength = source.Length();
  source.Read(0, facts.mbrBytes);
  GptReading reading{ReadGptAt(source, kGptHeaderLba), std::nullopt};
  const GptAt& primary = reading.primary;
  facts.headerBytes = primary.bytes;
  facts.primary = primary.header;
  facts.computedHeaderCrc = primary.headerCrc;
  facts.computedArrayCrc = primary.arrayCrc;
  const std::string fault = primary.Fault(kGptHeaderLba);
  // A sound primary of the packer's may say that there is no backup.
  const GptHeader& p = primary.header;
  const bool noBackup = fault.empty() && HasPackerMark(p) &&
                        (p.backupEnabled == 0 || p.layoutMarker == kGptCompactMarker);
  if (!noBackup) reading.backup = FindBackup(source, primary, fault.empty(), facts);
  if (reading.backup) {
    facts.backup = reading.backup->header;
    facts.backupSound = reading.backup->Fault(*facts.backupPosition / kSector).empty();
  }
  if (fault.empty()) {
    facts.table = GptTableInUse::kPrimary;
    facts.header = primary.header;
    ReadEntries(facts, primary.array);
  } else {
    facts.primaryFault = fault;
    facts.table = facts.backupSound ? GptTableInUse::kBackup : GptTableInUse::kNeither;
    facts.header = facts.backupSound ? PrimaryForm(reading.backup->header) : primary.header;
    ReadEntries(facts, facts.backupSound ? reading.backup->array : primary.array);
  }

  std::vector<Check>& checks = facts.checks;
  CheckMbr(facts, checks);
  CheckHeader(facts, checks);
  CheckEntries(facts, checks);
  CheckBackup(facts, reading, checks);
  CheckUncounted(facts, checks);
  CheckOverlaps(facts, checks);
  CheckUsableRange(facts, checks);
  return facts;
}

}  // namespace imgweld
