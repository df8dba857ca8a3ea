#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "common/Output.h"
#include "image/Checksums.h"
#include "image/ImageReader.h"

namespace imgweld {
namespace {

constexpr uint64_t kSector = kGptSectorSize;
constexpr size_t kCrcField = 16;
// The backup array lies in the 32 sectors right before the backup header.
constexpr uint64_t kArrayBytes = kGptArraySize;
// The header field that leaves the disk size open (diskEnd all ones).
constexpr uint64_t kOpenBackupLba = kOpenDiskEnd - 1;

unsigned long long Ull(uint64_t value) { return static_cast<unsigned long long>(value); }

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
    const std::string name = Format("entry %u %s", e.index, e.name.c_str());
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
      fits = first <= facts.fileLength / kSector && length <= facts.fileLength - first * kSector;
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
  std::optional<bool> arrayEqual;
  if (position >= kArrayBytes) {
    arrayEqual = RangesEqual(source, position - kArrayBytes, kGptArrayLba * kSector, kArrayBytes);
  }
  const std::string where = Format("header at byte 0x%llx", Ull(position));
  if (!headerOk) {
    const bool crcOk = HeaderCrc(bytes, b.headerSize) == b.headerCrc;
    AddCheck(checks, "backup gpt", false,
             where + (crcOk ? " does not mirror the primary" : " has a wrong checksum"));
  } else if (!arrayEqual.value_or(false)) {
    AddCheck(checks, "backup gpt", false, where + ", the array before it differs from the primary");
  } else {
    AddCheck(checks, "backup gpt", true, where + ", header and array mirror the primary");
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
  const uint32_t listed = arrayRead ? std::min<uint32_t>(h.partitionCount, kGptEntryCount) : 0;
  for (uint32_t i = 0; i < listed; ++i) {
    GptEntryFacts entry;
    entry.index = i;
    entry.entry = DecodeGptEntry(
        std::span<const uint8_t, kGptEntrySize>(array.data() + i * kGptEntrySize, kGptEntrySize));
    const std::optional<std::string> name = NarrowName(entry.entry.name);
    if (name) {
      entry.name = *name;
    } else {
      for (uint16_t unit : entry.entry.name) {
        if (unit == 0) break;
        entry.name.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
      }
    }
    for (char& c : entry.name) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    if (i < kMaxGptPartitions) entry.recordedLength = h.dataLengths[i];
    facts.entries.push_back(entry);
  }

  CheckMbr(facts, checks);
  CheckHeader(facts, checks);
  CheckEntries(facts, checks);
  ReadBackup(source, facts, checks);
  return facts;
}

}  // namespace imgweld
