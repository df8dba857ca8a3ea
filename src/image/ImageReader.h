#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "image/BootBlock.h"
#include "image/FirmwareImage.h"
#include "image/GptRecords.h"
#include "image/ImageSource.h"
#include "image/LayoutRules.h"

namespace imgweld {

// Reading an image to describe and verify it, without extracting anything.
// The readers take every position and count from the image itself, so each
// range is checked against the file before it is read; whatever cannot be
// read is reported as a failed check, and the rest is still described.

enum class ImageKind { kTagged, kGpt, kOther };

// What the first sectors of a file show it to be.
struct FileForm {
  ImageKind kind = ImageKind::kOther;
  // For a file that starts like a disk but has no GPT a reader can use:
  // what was found, as a clause ("it has a protective MBR but ...").
  std::string found;
};

// A tagged image starts with "ZVFP"; a partition-table image with an MBR
// that holds a record of type 0xEE (signature 55 AA) and a GPT header,
// "EFI PART", at sector 1 or, when sector 1 holds none, a sound backup GPT
// at the last sector, as a UEFI reader finds it.
FileForm RecognizeImage(ImageSource& source);
ImageKind IdentifyImage(ImageSource& source);
// The part of RecognizeImage that finds a disk.
FileForm RecognizeDisk(ImageSource& source);

// One verified property of an image.
enum class CheckStatus {
  kOk,
  kBad,
  kNotMade,  // cannot be made, for a reason that is no damage (a key that does not fit)
};

// What a check of a tagged image found wrong, by kind. A command that
// acts on an image decides from these, not from a check's name or wording,
// which are written for people and may change.
enum class TaggedRule {
  // The header check.
  kHeaderCutShort,  // the file is shorter than the header
  kFileTooLong,     // longer than any image: every position is 32 bits
  kHeaderLength,    // the header length field is not 512
  kTableSector,     // the table does not start at sector 1
  kRecordSize,      // records lie apart by other than 128 bytes, without overlapping
  kRecordsOverlap,  // more than one record, less than 128 bytes apart
  kNoRecords,
  kTooManyRecords,  // more than the table area holds
  // The table as the header places it; the header check or the records
  // check fails with it.
  kTableBeyondLimit,  // its last record ends past 4 GiB
  kTableCutShort,     // its last record ends past the end of the file
  kRecordsUnread,     // the records check: a record the header counts did not read
  kHeaderCrc,
  kTableCrc,
  kImageLength,
  // A record's check.
  kDataTooLong,         // 4 GiB or longer
  kDataBeyondLimit,     // ends past 4 GiB
  kDataPastEnd,         // ends past the end of the file
  kUnstoredData,        // any of the three above, of a record that stores no payload
  kDataLargerThanArea,  // more data than its sectors hold
  kFillArea,            // the area of a fill record does not lie in the image
  kNameNotPlain,        // a named file cannot be written for it
  kBootRecordLength,    // the data length fits no boot block of its programs
  kBootCopyOutside,     // a copy of the boot block does not lie in the image
  kOverlap,
  kBackupBlock,
  // The boot block's own checks.
  kNoBootBlock,
  kBootBlockTooLarge,  // its programs fit no boot block
  kBootCopies,
  kBootSignature,
  kBootSectors,
  kBootSectorCrcs,
  kBootCodeCrc,
  kBootDdrCrcs,
};

// What a check of a partition-table image found wrong, by kind, for the
// same reason as TaggedRule: commands decide from these.
enum class GptRule {
  // The protective MBR check.
  kMbrNotPackers,       // the packer's image: other bytes than the one record it writes
  kNoProtectiveRecord,  // no record of type 0xEE, or no signature 55 AA
  kProtectiveStart,     // the record of type 0xEE does not start at sector 1
  kProtectiveSize,      // it covers neither the disk after sector 0 nor 0xFFFFFFFF sectors
  // Records in use beside the one of type 0xEE. The check holds, since
  // every GPT reader accepts a hybrid MBR, but the packer never writes one.
  kHybridMbr,
  // The header check; one check may find several.
  kNoHeader,         // no "EFI PART" at sector 1
  kHeaderRevision,   // not 1.0
  kHeaderSize,       // not 92 on the packer's images, not 92 to 512 on others
  kHeaderOwnSector,  // names another sector than 1 as its own
  kArrayPlace,       // not the packer's 128 entries of 128 bytes at sector 2;
                     // on other disks, no array of whole entries before the usable sectors
  kFirstUsable,      // the packer's first usable sector is not 34
  kUsableRange,      // other disks: no usable sectors, or they reach the backup header
  kLayoutMark,       // the primary's layout mark is not that of the table in use
  kPartitionCount,   // the packer's partition count is more than the header records lengths of
  kHeaderCrc,
  kArrayCrc,
  kArrayOutside,  // the array check: the partition array does not lie in the image
  // An entry's check (its record is the entry's place in the array).
  kEntryOutsideUsable,  // its sectors are not inside the usable sectors
  kPayloadPastEnd,      // the payload length the header records runs past the end of the image
  kUncountedEntry,      // in use, past the partition count of the packer's header
  // The backup check.
  kBackupMissing,        // no backup header where it is looked for
  kBackupUnsound,        // found, but fails a checksum, names another sector or has no array
  kBackupHeaderDiffers,  // it does not mirror the primary header
  kBackupArrayDiffers,   // its array differs from the primary's
  // The overlap check: an entry on the protective MBR and GPT (judged on
  // the packer's images only), or on an earlier entry's sectors.
  kReservedArea,
  kOverlap,
  // The usable sectors check.
  kUsableEnd,       // the last usable sector leaves the backup array no place of its own
  kDiskPastLimit,   // the disk the header describes reaches past 4 GiB
  kBackupNotAtEnd,  // the backup header does not end the disk (the packer's: the file)
  kFilePastUsable,  // without a backup, the file reaches past the last usable sector
};

struct Check {
  std::string name;  // what was checked, e.g. "header crc"
  CheckStatus status = CheckStatus::kOk;
  std::string detail;  // what was found
  // Of a tagged image's check that fails: each thing it found wrong. Empty
  // when the check holds or could not be made.
  std::vector<TaggedRule> problems = {};
  // The record a check is about: its place in the tagged image's table, or
  // in the partition array.
  std::optional<uint32_t> record = {};
  // Of a partition-table image's check that fails: each thing it found
  // wrong. Empty when the check holds (but for kHybridMbr) or could not be
  // made.
  std::vector<GptRule> gptProblems = {};
};

// Whether a check fails with a problem of `rule` (about record `record`,
// when given).
bool HasProblem(const std::vector<Check>& checks, TaggedRule rule,
                std::optional<uint32_t> record = std::nullopt);
// Whether a check found `rule` (about entry `record`, when given); only
// kHybridMbr is found by a check that holds.
bool HasProblem(const std::vector<Check>& checks, GptRule rule,
                std::optional<uint32_t> record = std::nullopt);

// The problem of data placed as `place` (not kInside): one of kDataTooLong,
// kDataBeyondLimit and kDataPastEnd.
TaggedRule PayloadRule(PayloadPlace place);

// True when no check failed; checks that could not be made do not count.
bool AllChecksHold(const std::vector<Check>& checks);

void AddCheck(std::vector<Check>& checks, std::string name, CheckStatus status, std::string detail);
// A check that holds when `ok`.
void AddCheck(std::vector<Check>& checks, std::string name, bool ok, std::string detail);
// A checksum check: the value when stored and computed agree, both when not.
void AddCrcCheck(std::vector<Check>& checks, std::string name, uint32_t stored, uint32_t computed);

// A text from an image as a listing shows it: every byte that is no
// printable UTF-8 text (below 0x20, 0x7F, the C1 controls U+0080 to U+009F,
// bytes of no well-formed sequence) becomes "\xNN", so that nothing read
// from an image reaches the terminal as a command or breaks the columns.
std::string Printable(const std::string& text);

// --- Tagged image --------------------------------------------------------

struct TaggedRecord {
  uint32_t index = 0;  // position in the table
  EntryBytes bytes{};  // as stored
  PartitionEntry entry;
  // Where its stored data lies: the two programs of a boot block record, the
  // payload of any other. Taken from the record alone.
  std::vector<PayloadExtent> extents;
  // Where each of `extents` lies in the file, in the same order: every
  // extent is placed, also those no record check takes as data (the boot
  // programs, the data of skipped and fill records), since -U writes each
  // one to a file and refuses one it cannot read whole by this verdict.
  std::vector<PayloadPlace> places;
};

// How the boot programs are stored, as the header sector says.
enum class ProgramStorage {
  kPlain,
  kScrambled,
  kUnknown,  // the header sector does not read, or its field is neither 0 nor 1
};

struct BootBlockFacts {
  size_t record = 0;  // index into TaggedImageFacts::records
  BootFields fields;
  BootBlockLayout layout;
  uint64_t firstCopy = 0;  // byte positions in the image
  // Nothing when the record does not say where the second copy lies: a
  // growing last partition has its size stored as 0xFFFFFFFF.
  std::optional<uint64_t> secondCopy;
  // The first copy as written (spread in gap mode); empty when it does not
  // lie in the image.
  std::vector<uint8_t> written;
  BootSectors header = BootSectors::kUnreadable;
  BootSectors check = BootSectors::kUnreadable;
  // Header byte 8, when the header sector reads: 0 means the programs are
  // stored scrambled, 1 plain.
  std::optional<uint32_t> plainProgramsField;
  // The two copies compared; kNotMade also when the second copy's place is
  // not recorded.
  ByteMatch copies = ByteMatch::kNotMade;

  ProgramStorage Programs() const;
};

struct TaggedImageFacts {
  uint64_t fileLength = 0;
  HeaderBytes headerBytes{};  // zero past the end of a short file
  FirmwareHeader header;
  uint32_t computedHeaderCrc = 0;
  // Nothing when the records the checksum covers do not lie in the image.
  std::optional<uint32_t> computedTableCrc;
  // The records that lie in the image, at most as many as the table area
  // holds (28), in table order.
  std::vector<TaggedRecord> records;
  // The vendor area (sectors 8 to 63): its first byte, and whether every
  // byte equals it; nothing when the area does not lie in the image.
  std::optional<uint8_t> vendorFill;
  bool vendorUniform = false;
  // The first boot block record, when there is one.
  std::optional<BootBlockFacts> boot;
  bool backupExpected = false;
  uint64_t backupPosition = 0;
  // The backup block against header and table; kNotMade when it is not
  // expected or does not lie in the image.
  ByteMatch backupBlock = ByteMatch::kNotMade;
  std::vector<Check> checks;
};

TaggedImageFacts ReadTaggedImage(ImageSource& source);

// --- Partition-table image -----------------------------------------------

struct GptEntryFacts {
  uint32_t index = 0;
  GptEntry entry;
  std::string name;  // narrowed; the byte 0xFF for a unit no byte widens to
  // The payload length the header records for this entry (the first 49).
  std::optional<uint64_t> recordedLength;
};

// Which GPT a disk is read from. As UEFI reads a disk, a primary header
// or array that fails its checksum is not used; the backup is, when it is
// sound.
enum class GptTableInUse { kPrimary, kBackup, kNeither };

struct GptImageFacts {
  uint64_t fileLength = 0;
  SectorBytes mbrBytes{};
  SectorBytes headerBytes{};  // the primary header's sector
  GptHeader primary;          // the primary header as stored
  // The header of the table in use, in the primary's form (its own sector
  // 1, the other header at the disk's end, the array at sector 2): the
  // primary, or the backup when the primary is not sound and the backup is;
  // the primary also when neither is.
  GptHeader header;
  GptTableInUse table = GptTableInUse::kNeither;
  // Why the primary is not used ("fails its checksum"); empty when it is.
  std::string primaryFault;
  std::optional<uint32_t> computedHeaderCrc;  // nothing for an impossible header size
  std::optional<uint32_t> computedArrayCrc;   // nothing when the array is not in the image
  // The entries of the table in use: on the packer's images those the
  // header counts, then every other entry that has a type; on other disks
  // every entry that has a type.
  std::vector<GptEntryFacts> entries;
  // Where the backup header was looked for, and what was found there.
  std::optional<uint64_t> backupPosition;
  std::optional<GptHeader> backup;
  bool backupSound = false;  // its header and array pass their checksums
  std::vector<Check> checks;

  bool Compact() const { return header.layoutMarker == kGptCompactMarker; }
  // Whether the header carries the packer's layout mark, and so its
  // private fields from byte 108 on.
  bool PackerLayout() const {
    return header.layoutMarker == kGptCompactMarker || header.layoutMarker == kGptPaddedMarker;
  }
  // Records of the MBR in use besides the one of type 0xEE: a hybrid MBR.
  uint32_t HybridRecords() const;
  // The disk's sector count, or nothing when the GPT leaves it open.
  std::optional<uint64_t> DiskEnd() const;
};

GptImageFacts ReadGptImage(ImageSource& source);

// --- Either form ---------------------------------------------------------

// An image read once: what it is and, for an image, its facts. Listing in
// every mode and verifying render from this value, so a file read for
// several of them is read only once.
struct ImageReading {
  FileForm form;
  std::optional<TaggedImageFacts> tagged;  // when form.kind is kTagged
  std::optional<GptImageFacts> gpt;        // when form.kind is kGpt
};

inline ImageReading ReadImage(ImageSource& source) {
  ImageReading reading;
  reading.form = RecognizeImage(source);
  if (reading.form.kind == ImageKind::kTagged) reading.tagged = ReadTaggedImage(source);
  if (reading.form.kind == ImageKind::kGpt) reading.gpt = ReadGptImage(source);
  return reading;
}

}  // namespace imgweld
