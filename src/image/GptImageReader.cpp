#include <algorithm>
#include <cstdio>
#include <string>

#include "common/Output.h"
#include "image/Checksums.h"
#include "image/ImageReader.h"

namespace imgweld {
namespace {

constexpr uint64_t kSector = kSectorSize;
constexpr size_t kCrcField = 16;
// The backup array lies in the 32 sectors right before the backup header.
constexpr uint64_t kArrayBytes = kGptArraySize;
// The header field that leaves the disk size open (diskEnd all ones).
constexpr uint64_t kOpenBackupLba = kOpenDiskEnd - 1;

// Crc32 of a header's first `headerSize` bytes with its checksum field zero,
// or nothing when that size cannot be a header's.
std::optional<uint32_t> HeaderCrc(const SectorBytes& bytes, uint32_t headerSize) {
  if (headerSize < kCrcField + 4 || headerSize > bytes.size()) return std::nullopt;
  SectorBytes copy = bytes;
  std::fill_n(copy.begin() + kCrcField, 4, 0);
  return Crc32(std::span<const uint8_t>(copy).first(headerSize), 0);
}

void CheckMbr(const GptImageFacts& facts, std::vector<Check>& checks) {
  // Everything but the one partition record and the signature is zero.
  SectorBytes expected = EncodeProtectiveMbr(ProtectiveMbr{});
  const bool ok = facts.mbrBytes == expected;
  const ProtectiveMbr mbr = DecodeProtectiveMbr(facts.mbrBytes);
  AddCheck(checks, "protective mbr", ok,
           ok ? "one record of type 0xee from sector 1 over 0xffffffff sectors"
              : Format("type 0x%02x from sector %u over 0x%x sectors, or other bytes not zero",
                       mbr.partitionType, mbr.firstLba, mbr.sectorCount));
}

void CheckHeader(const GptImageFacts& facts, std::vector<Check>& checks) {
  const GptHeader& h = facts.header;
  std::string problems;
  const auto note = [&](const std::string& text) {
    problems += (problems.empty() ? "" : ", ") + text;
  };
  if (h.revision != kGptRevision) note(Format("revision 0x%08x", h.revision));
  if (h.headerSize != kGptHeaderSize) note(Format("header size %u", h.headerSize));
  if (h.currentLba != kGptHeaderLba) note(Format("own sector %llu", Ull(h.currentLba)));
  if (h.firstUsableLba != kGptFirstUsableLba) {
    note(Format("first usable sector %llu", Ull(h.firstUsableLba)));
  }
  if (h.arrayLba != kGptArrayLba || h.entryCount != kGptEntryCount ||
      h.entrySize != kGptEntrySize) {
    note(Format("array of %u entries of %u bytes at sector %llu", h.entryCount, h.entrySize,
                Ull(h.arrayLba)));
  }
  if (h.layoutMarker != kGptCompactMarker && h.layoutMarker != kGptPaddedMarker) {
    note(Format("layout marker 0x%04x", h.layoutMarker));
  }
  if (h.partitionCount > kMaxGptPartitions) note(Format("%u partitions", h.partitionCount));
  if (problems.empty()) {
    AddCheck(checks, "gpt header", true,
             Format("%s layout, %u partitions", facts.Compact() ? "compact" : "padded",
                    h.partitionCount));
  } else {
    AddCheck(checks, "gpt header", false, "unexpected " + problems);
  }
  if (!facts.computedHeaderCrc) {
    AddCheck(checks, "header crc", false,
             Format("stored 0x%08x over an impossible size", h.headerCrc));
  } else {
    AddCrcCheck(checks, "header crc", h.headerCrc, *facts.computedHeaderCrc);
  }
  if (!facts.computedArrayCrc) {
    AddCheck(checks, "array crc", false, "the partition array does not lie in the image");
  } else {
    AddCrcCheck(checks, "array crc", h.arrayCrc, *facts.computedArrayCrc);
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
      AddCheck(checks, name, false,
               Format("sectors 0x%llx-0x%llx outside the usable 0x%llx-0x%llx", Ull(first),
                      Ull(last), Ull(h.firstUsableLba), Ull(h.lastUsableLba)));
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
      AddCheck(checks, name, false,
               Format("%llu bytes of data would end at byte 0x%llx, past the end of the image",
                      Ull(length), Ull(end)));
    } else {
      AddCheck(checks, name, true, Format("sectors 0x%llx-0x%llx", Ull(first), Ull(last)));
    }
  }
}

// The backup array and header: at the sectors the primary header names when
// the disk size is known, else at the end of the file.
void ReadBackup(ImageSource& source, GptImageFacts& facts, std::vector<Check>& checks) {
  const GptHeader& h = facts.header;
  if (h.backupEnabled == 0 || facts.Compact()) {
    AddCheck(checks, "backup gpt", true, "none, the header says so");
    return;
  }
  uint64_t position = 0;
  if (h.backupLba == kOpenBackupLba) {
    if (facts.fileLength < kSector) {
      AddCheck(checks, "backup gpt", false, "the image holds no backup header");
      return;
    }
    position = facts.fileLength - kSector;
  } else if (h.backupLba <= facts.fileLength / kSector) {
    position = h.backupLba * kSector;
  } else {
    AddCheck(checks, "backup gpt", false,
             Format("sector 0x%llx lies past the end of the image", Ull(h.backupLba)));
    return;
  }
  facts.backupPosition = position;
  SectorBytes bytes{};
  if (!source.Read(position, bytes) || !HasGptSignature(bytes)) {
    AddCheck(checks, "backup gpt", false, Format("no header at byte 0x%llx", Ull(position)));
    return;
  }
  facts.backup = DecodeGptHeader(bytes);
  const GptHeader& b = *facts.backup;
  SectorBytes expected{};
  MakeBackupGptHeader(facts.headerBytes, expected);
  const bool headerOk = bytes == expected;
  const ByteMatch array =
      position >= kArrayBytes
          ? CompareRanges(source, position - kArrayBytes, kGptArrayLba * kSector, kArrayBytes)
          : ByteMatch::kNotMade;
  const std::string where = Format("header at byte 0x%llx", Ull(position));
  if (!headerOk) {
    const bool crcOk = HeaderCrc(bytes, b.headerSize) == b.headerCrc;
    AddCheck(checks, "backup gpt", false,
             where + (crcOk ? " does not mirror the primary" : " has a wrong checksum"));
  } else if (array != ByteMatch::kEqual) {
    AddCheck(checks, "backup gpt", false, where + ", the array before it differs from the primary");
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
  for (const GptEntryFacts& e : facts.entries) {
    if (e.index < facts.header.partitionCount) continue;
    AddCheck(checks, EntryName(e), false,
             Format("in use at sectors 0x%llx-0x%llx, but the header counts %u partitions",
                    Ull(e.entry.firstLba), Ull(e.entry.lastLba), facts.header.partitionCount));
  }
}

// Entries that share a sector, or lie on the protective MBR and the GPT
// (sectors 0 to 33), destroy each other when flashed. The compact layout's
// entries do not place its payloads, so only the padded layout is checked.
void CheckOverlaps(const GptImageFacts& facts, std::vector<Check>& checks) {
  if (facts.Compact()) return;
  const auto text = [](const GptEntryFacts& e) {
    return Format("%s at sectors 0x%llx-0x%llx", EntryName(e).c_str(), Ull(e.entry.firstLba),
                  Ull(e.entry.lastLba));
  };
  for (size_t i = 0; i < facts.entries.size(); ++i) {
    const GptEntry& a = facts.entries[i].entry;
    if (a.firstLba > a.lastLba) continue;
    if (a.firstLba < kGptFirstUsableLba) {
      AddCheck(checks, "overlap", false,
               text(facts.entries[i]) +
                   Format(" overlaps the protective MBR and GPT at sectors 0x0-0x%llx",
                          Ull(kGptFirstUsableLba - 1)));
    }
    for (size_t j = 0; j < i; ++j) {
      const GptEntry& b = facts.entries[j].entry;
      if (b.firstLba > b.lastLba || b.lastLba < a.firstLba || a.lastLba < b.firstLba) continue;
      AddCheck(checks, "overlap", false,
               text(facts.entries[i]) + " overlaps " + text(facts.entries[j]));
    }
  }
}

// The usable sectors end 33 sectors before the backup header, which ends
// the disk; with a backup that is the end of the file, without one the file
// ends no later than the usable sectors. A disk left open (compact layout,
// growing last partition) names no end.
void CheckUsableRange(const GptImageFacts& facts, std::vector<Check>& checks) {
  const GptHeader& h = facts.header;
  const std::optional<uint64_t> diskEnd = facts.DiskEnd();
  if (!diskEnd) return;
  const uint64_t backupSectors = kGptArraySectors + 1;
  const uint64_t fileSectors = (facts.fileLength + kSector - 1) / kSector;
  if (h.lastUsableLba + backupSectors != h.backupLba) {
    AddCheck(checks, "usable sectors", false,
             Format("the last usable sector 0x%llx is not %llu sectors before the backup header "
                    "at sector 0x%llx",
                    Ull(h.lastUsableLba), Ull(backupSectors), Ull(h.backupLba)));
  } else if (*diskEnd > kPositionLimit / kSector) {
    AddCheck(checks, "usable sectors", false,
             Format("the disk of 0x%llx sectors reaches past 4 GiB", Ull(*diskEnd)));
  } else if (h.backupEnabled != 0 && fileSectors != *diskEnd) {
    AddCheck(checks, "usable sectors", false,
             Format("the backup header at sector 0x%llx does not end the file of 0x%llx sectors",
                    Ull(h.backupLba), Ull(fileSectors)));
  } else if (h.backupEnabled == 0 && fileSectors > h.lastUsableLba + 1) {
    AddCheck(checks, "usable sectors", false,
             Format("the file of 0x%llx sectors reaches past the last usable sector 0x%llx",
                    Ull(fileSectors), Ull(h.lastUsableLba)));
  }
}

}  // namespace

std::optional<uint64_t> GptImageFacts::DiskEnd() const {
  if (header.backupLba == kOpenBackupLba) return std::nullopt;
  return header.backupLba + 1;
}

GptImageFacts ReadGptImage(ImageSource& source) {
  GptImageFacts facts;
  facts.fileLength = source.Length();
  std::vector<Check>& checks = facts.checks;
  source.Read(0, facts.mbrBytes);
  source.Read(kGptHeaderLba * kSector, facts.headerBytes);
  facts.header = DecodeGptHeader(facts.headerBytes);
  const GptHeader& h = facts.header;
  facts.computedHeaderCrc = HeaderCrc(facts.headerBytes, h.headerSize);

  // Only the array this format writes is read: 128 entries of 128 bytes.
  std::vector<uint8_t> array(kGptArraySize);
  const bool arrayRead = h.entryCount == kGptEntryCount && h.entrySize == kGptEntrySize &&
                         h.arrayLba <= facts.fileLength / kSector &&
                         source.Read(h.arrayLba * kSector, array);
  if (arrayRead) facts.computedArrayCrc = Crc32(array, 0);
  // Every GPT reader takes each entry of the array that has a type: the
  // partition count of the private fields does not hide the rest.
  const uint32_t counted = std::min<uint32_t>(h.partitionCount, kGptEntryCount);
  for (uint32_t i = 0; arrayRead && i < kGptEntryCount; ++i) {
    GptEntryFacts entry;
    entry.index = i;
    entry.entry = DecodeGptEntry(
        std::span<const uint8_t, kGptEntrySize>(array.data() + i * kGptEntrySize, kGptEntrySize));
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

  CheckMbr(facts, checks);
  CheckHeader(facts, checks);
  CheckEntries(facts, checks);
  ReadBackup(source, facts, checks);
  CheckUncounted(facts, checks);
  CheckOverlaps(facts, checks);
  CheckUsableRange(facts, checks);
  return facts;
}

}  // namespace imgweld
