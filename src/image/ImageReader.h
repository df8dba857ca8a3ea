#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "image/BootBlock.h"
#include "image/FirmwareImage.h"
#include "image/GptRecords.h"
#include "image/ImageSource.h"

namespace imgweld {

// Reading an image to describe and verify it, without extracting anything.
// The readers take every position and count from the image itself, so each
// range is checked against the file before it is read; whatever cannot be
// read is reported as a failed check, and the rest is still described.

enum class ImageKind { kTagged, kGpt, kOther };

// A tagged image starts with "ZVFP"; a partition-table image with a
// protective MBR (type 0xEE, signature 55 AA) followed by "EFI PART".
ImageKind IdentifyImage(ImageSource& source);

// One verified property of an image.
enum class CheckStatus {
  kOk,
  kBad,
  kNotMade,  // cannot be made, for a reason that is no damage (a key that does not fit)
};

struct Check {
  std::string name;  // what was checked, e.g. "header crc"
  CheckStatus status = CheckStatus::kOk;
  std::string detail;  // what was found
};

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
  // payload of any other. Taken from the record alone, unchecked.
  std::vector<PayloadExtent> extents;
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

struct GptImageFacts {
  uint64_t fileLength = 0;
  SectorBytes mbrBytes{};
  SectorBytes headerBytes{};
  GptHeader header;
  std::optional<uint32_t> computedHeaderCrc;  // nothing for an impossible header size
  std::optional<uint32_t> computedArrayCrc;   // nothing when the array is not in the image
  // The entries the header counts, then every other entry that has a type.
  std::vector<GptEntryFacts> entries;
  // Where the backup header was looked for, and what was found there.
  std::optional<uint64_t> backupPosition;
  std::optional<GptHeader> backup;
  std::vector<Check> checks;

  bool Compact() const { return header.layoutMarker == kGptCompactMarker; }
  // The disk's sector count, or nothing when the GPT leaves it open.
  std::optional<uint64_t> DiskEnd() const;
};

GptImageFacts ReadGptImage(ImageSource& source);

}  // namespace imgweld
