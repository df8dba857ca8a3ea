#include "unpack/UnpackRefusals.h"

#include <algorithm>
#include <array>

#include "common/Output.h"

namespace imgweld {
namespace {

using Facts = RefusalFacts;

constexpr std::array kRefusals = {
    UnpackRefusal{TaggedRule::kHeaderCutShort, UnpackStage::kHeader,
                  [](const Facts& f) {
                    return Format(
                        "UnPacking Error:Header of firmware is cut short, length=%zu!\r\n",
                        static_cast<size_t>(f.imageLength));
                  },
                  false},
    // Every position in an image is 32 bits.
    UnpackRefusal{
        TaggedRule::kFileTooLong, UnpackStage::kTable,
        [](const Facts& f) {
          return Format(
              "UnPacking Error:Firmware is longer than any image can be, length=%llu!\r\n",
              Ull(f.imageLength));
        },
        false},
    UnpackRefusal{TaggedRule::kRecordsOverlap, UnpackStage::kTable,
                  [](const Facts& f) {
                    return Format("UnPacking Error:Partition records overlap, entrySize=%u!\r\n",
                                  f.entrySize);
                  },
                  false},
    // A hostile count or record size is refused before any record is walked.
    UnpackRefusal{TaggedRule::kTableBeyondLimit, UnpackStage::kTable,
                  [](const Facts& f) {
                    return Format(
                        "UnPacking Error:Partition table lies beyond 4 GiB, entryCount=%u, "
                        "entrySize=%u!\r\n",
                        f.entryCount, f.entrySize);
                  },
                  false},
    UnpackRefusal{TaggedRule::kTableCutShort, UnpackStage::kTable,
                  [](const Facts& f) {
                    return Format(
                        "UnPacking Error:Partition table is cut off by the end of the firmware, "
                        "entryCount=%u, entrySize=%u!\r\n",
                        f.entryCount, f.entrySize);
                  },
                  false},
    UnpackRefusal{TaggedRule::kTooManyRecords, UnpackStage::kTable,
                  [](const Facts& f) {
                    return Format(
                        "UnPacking Error:Partition table holds more records than its area, "
                        "entryCount=%u!\r\n",
                        f.entryCount);
                  },
                  false},
    // Behind the rows above, a record of a table that lies in the file
    // fails to read only when the system fails the read.
    UnpackRefusal{TaggedRule::kRecordsUnread, UnpackStage::kTable,
                  [](const Facts& f) {
                    return Format(
                        "UnPacking Error:Reading partition record %zu failed, err=%d!\r\n",
                        f.recordsRead, f.error);
                  },
                  true},
    // Extracting a part of a payload would lose data, and a length cut to
    // 32 bits would invent a shorter one.
    UnpackRefusal{TaggedRule::kDataTooLong, UnpackStage::kPayload,
                  [](const Facts& f) {
                    return Format(
                        "UnPacking Error:Data of %s is 4 GiB or longer, dataLength=%llu!\r\n",
                        f.file.c_str(), Ull(f.dataLength));
                  },
                  false},
    UnpackRefusal{TaggedRule::kDataBeyondLimit, UnpackStage::kPayload,
                  [](const Facts& f) {
                    return Format("UnPacking Error:Data of %s lies beyond 4 GiB!\r\n",
                                  f.file.c_str());
                  },
                  false},
    UnpackRefusal{TaggedRule::kDataPastEnd, UnpackStage::kPayload,
                  [](const Facts& f) {
                    return Format(
                        "UnPacking Error:Data of %s runs past the end of the firmware!\r\n",
                        f.file.c_str());
                  },
                  false},
    // The file would land outside the output directory, or nowhere.
    UnpackRefusal{TaggedRule::kNameNotPlain, UnpackStage::kRecord,
                  [](const Facts& f) {
                    return Format(
                        "UnPacking Error:Name of partition record %u is not a plain file name!\r\n",
                        f.record);
                  },
                  false},
};

constexpr std::array kPasses = {
    UnpackPass{TaggedRule::kHeaderLength, "the header is read as 512 bytes, whatever it records"},
    UnpackPass{TaggedRule::kTableSector, "the table is read where the header places it"},
    UnpackPass{TaggedRule::kRecordSize,
               "records further apart than 128 bytes, or one alone, are read where they lie"},
    UnpackPass{TaggedRule::kNoRecords, "an empty table unpacks to setting.ini alone"},
    UnpackPass{TaggedRule::kHeaderCrc,
               "the checksums are not verified: the hash file covers every byte"},
    UnpackPass{TaggedRule::kTableCrc,
               "the checksums are not verified: the hash file covers every byte"},
    UnpackPass{TaggedRule::kImageLength,
               "every payload is read at its own place; the recorded length is not used"},
    UnpackPass{TaggedRule::kUnstoredData, "a record that stores no payload writes no file"},
    UnpackPass{TaggedRule::kDataLargerThanArea,
               "the whole payload is extracted; packing it again reports the area"},
    UnpackPass{TaggedRule::kFillArea,
               "a fill area holds no payload; packing writes its fill bytes again"},
    UnpackPass{TaggedRule::kBootRecordLength,
               "the programs are extracted by their own lengths, not the record's"},
    UnpackPass{TaggedRule::kBootCopyOutside,
               "the programs come from the first copy; a cut program is refused as data"},
    UnpackPass{TaggedRule::kOverlap,
               "payloads that share bytes are each extracted whole, with a note"},
    UnpackPass{TaggedRule::kBackupBlock,
               "the backup block is not read; setting.ini only records that there is one"},
    UnpackPass{TaggedRule::kNoBootBlock, "the partitions unpack without a boot block section"},
    UnpackPass{TaggedRule::kBootBlockTooLarge,
               "the programs are extracted as long as they lie in the image"},
    UnpackPass{TaggedRule::kBootCopies, "the programs come from the first copy"},
    UnpackPass{TaggedRule::kBootSignature,
               "the control sectors are not extracted; packing builds them again"},
    UnpackPass{TaggedRule::kBootSectors,
               "the control sectors are not extracted; packing builds them again"},
    UnpackPass{TaggedRule::kBootSectorCrcs,
               "the control sectors are not extracted; packing builds them again"},
    UnpackPass{TaggedRule::kBootCodeCrc,
               "the programs are extracted as stored; packing computes their checksum again"},
    UnpackPass{TaggedRule::kBootDdrCrcs,
               "the programs are extracted as stored; packing computes their checksums again"},
};

}  // namespace

const std::span<const UnpackRefusal> kUnpackRefusals(kRefusals);
const std::span<const UnpackPass> kUnpackPasses(kPasses);

const UnpackRefusal* FindRefusal(TaggedRule rule) {
  const auto found = std::find_if(kRefusals.begin(), kRefusals.end(),
                                  [&](const UnpackRefusal& r) { return r.rule == rule; });
  return found == kRefusals.end() ? nullptr : &*found;
}

const UnpackRefusal* PayloadRefusal(PayloadPlace place) {
  if (place == PayloadPlace::kInside) return nullptr;
  return FindRefusal(PayloadRule(place));
}

const UnpackRefusal* FirstRefusal(const std::vector<Check>& checks, UnpackStage stage,
                                  std::optional<uint32_t> record) {
  for (const UnpackRefusal& refusal : kRefusals) {
    if (refusal.stage == stage && HasProblem(checks, refusal.rule, record)) return &refusal;
  }
  return nullptr;
}

RefusalFacts TableFactsOf(const TaggedImageFacts& facts) {
  RefusalFacts table;
  table.imageLength = facts.fileLength;
  table.entryCount = facts.header.entryCount;
  table.entrySize = facts.header.entrySize;
  table.recordsRead = facts.records.size();
  return table;
}

std::optional<std::string> TableRefusalReason(const TaggedImageFacts& facts) {
  constexpr std::string_view kLead = "UnPacking Error:";
  constexpr std::string_view kEnd = "!\r\n";
  for (const UnpackStage stage : {UnpackStage::kHeader, UnpackStage::kTable}) {
    const UnpackRefusal* refusal = FirstRefusal(facts.checks, stage);
    if (refusal == nullptr) continue;
    std::string line = refusal->line(TableFactsOf(facts));
    if (line.ends_with(kEnd)) line.resize(line.size() - kEnd.size());
    if (line.starts_with(kLead)) line.erase(0, kLead.size());
    return line;
  }
  return std::nullopt;
}

}  // namespace imgweld
