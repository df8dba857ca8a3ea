// The kinds a partition-table image's checks find, one damage at a time.
// The damage is done by this test's own offsets and checksums, so that a
// kind put on the wrong check, or a wrong kind, shows.

#include <gtest/gtest.h>

#include <functional>

#include "common/Output.h"
#include "image/ImageReader.h"
#include "pack/PackFirmware.h"
#include "pack/PackTestSupport.h"
#include "support/TestSupport.h"

namespace imgweld::test {
namespace {

using Bytes = std::vector<uint8_t>;

// The packed example: a padded layout with a backup GPT, five partitions
// at sectors 0x40 to 0x1ff, the disk 0x221 sectors long.
constexpr size_t kPrimary = 512;  // the primary header
constexpr size_t kArray = 1024;   // the primary array
constexpr size_t kBackupArray = 0x200 * 512;
constexpr size_t kBackup = 0x220 * 512;  // the backup header
constexpr size_t kEntrySize = 128;

// Header fields (UEFI, and the packer's from byte 108).
constexpr size_t kRevision = 8;
constexpr size_t kHeaderSize = 12;
constexpr size_t kHeaderCrc = 16;
constexpr size_t kOwnLba = 24;
constexpr size_t kBackupLba = 32;
constexpr size_t kFirstUsable = 40;
constexpr size_t kLastUsable = 48;
constexpr size_t kDiskGuid = 56;
constexpr size_t kArrayLba = 72;
constexpr size_t kEntryCount = 80;
constexpr size_t kArrayCrc = 88;
constexpr size_t kLayoutMark = 108;
constexpr size_t kBackupFlag = 110;
constexpr size_t kPartitionCount = 112;
constexpr size_t kLengths = 114;
// Entry fields.
constexpr size_t kFirstLba = 32;
constexpr size_t kLastLba = 40;
constexpr size_t kName = 56;
// The MBR's partition records.
constexpr size_t kMbrRecord = 446;

uint32_t RefCrc32(std::span<const uint8_t> data) {
  uint32_t crc = 0xFFFFFFFF;
  for (const uint8_t byte : data) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

void Put(Bytes& bytes, size_t at, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// The header at `at` with its checksum made right again, over the size it
// names.
void SealHeader(Bytes& image, size_t at) {
  Put(image, at + kHeaderCrc, 0, 4);
  const size_t size = std::min<size_t>(Le32(image, at + kHeaderSize), 512);
  Put(image, at + kHeaderCrc, RefCrc32(std::span<const uint8_t>(image).subspan(at, size)), 4);
}

// Both headers (and, when the array changed, their array checksums) made
// right again.
void SealBoth(Bytes& image) {
  const size_t entries = Le32(image, kPrimary + kEntryCount);
  const std::span<const uint8_t> all(image);
  Put(image, kPrimary + kArrayCrc, RefCrc32(all.subspan(kArray, entries * kEntrySize)), 4);
  Put(image, kBackup + kArrayCrc, RefCrc32(all.subspan(kBackupArray, entries * kEntrySize)), 4);
  SealHeader(image, kPrimary);
  SealHeader(image, kBackup);
}

// A header field written alike in both headers, which stay sound.
void PutBoth(Bytes& image, size_t field, uint64_t value, size_t width) {
  Put(image, kPrimary + field, value, width);
  Put(image, kBackup + field, value, width);
  SealBoth(image);
}

// An entry field written alike in both arrays, which stay sound.
void PutEntry(Bytes& image, size_t entry, size_t field, uint64_t value) {
  Put(image, kArray + entry * kEntrySize + field, value, 8);
  Put(image, kBackupArray + entry * kEntrySize + field, value, 8);
  SealBoth(image);
}

// A disk of another tool: the same image without the packer's layout mark.
void Foreign(Bytes& image) {
  Put(image, kPrimary + kLayoutMark, 0, 2);
  Put(image, kBackup + kLayoutMark, 0, 2);
}

Bytes PackGptBoard() {
  TempDir dir;
  StringOutput out;
  EXPECT_TRUE(PackFirmware(SourceDir() + "/examples/gpt-board/setting.ini", dir.Path().string(),
                           out, FixedPackTime()))
      << out.Text();
  Bytes image = ReadBytes(dir / "Firmware.img");
  EXPECT_EQ(image.size(), kBackup + 512);
  return image;
}

// One check that found something: its name, kinds and entry.
struct Finding {
  std::string check;
  std::vector<GptRule> kinds;
  std::optional<uint32_t> entry = {};

  bool operator==(const Finding&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Finding& f) {
  out << f.check << " [";
  for (const GptRule kind : f.kinds) out << ' ' << static_cast<int>(kind);
  out << " ]";
  if (f.entry) out << " entry " << *f.entry;
  return out;
}

std::vector<Finding> FindingsOf(const std::vector<Check>& checks) {
  std::vector<Finding> found;
  for (const Check& c : checks) {
    if (c.status == CheckStatus::kBad || !c.gptProblems.empty()) {
      found.push_back({c.name, c.gptProblems, c.record});
    }
  }
  return found;
}

struct DamageCase {
  const char* what;
  std::function<void(Bytes&)> damage;
  std::vector<Finding> expected;
};

using R = GptRule;

TEST(GptChecksTest, EachDamageIsFoundAsItsKindOnItsCheck) {
  const Bytes packed = PackGptBoard();
  const DamageCase cases[] = {
      // The packer's image.
      {"sound", [](Bytes&) {}, {}},
      {"mbr boot code", [](Bytes& b) { b[0] = 1; }, {{"protective mbr", {R::kMbrNotPackers}}}},
      {"mbr second record",
       [](Bytes& b) { b[kMbrRecord + 16 + 4] = 0x83; },
       {{"protective mbr", {R::kMbrNotPackers, R::kHybridMbr}}}},
      {"revision",
       [](Bytes& b) { PutBoth(b, kRevision, 0x00010001, 4); },
       {{"gpt header", {R::kHeaderRevision}}}},
      {"header size",
       [](Bytes& b) { PutBoth(b, kHeaderSize, 93, 4); },
       {{"gpt header", {R::kHeaderSize}}}},
      {"revision and first usable",
       [](Bytes& b) {
         PutBoth(b, kRevision, 0x00020000, 4);
         PutBoth(b, kFirstUsable, 40, 8);
       },
       {{"gpt header", {R::kHeaderRevision, R::kFirstUsable}}}},
      {"array of 64 entries",
       [](Bytes& b) { PutBoth(b, kEntryCount, 64, 4); },
       {{"gpt header", {R::kArrayPlace}}}},
      {"primary names sector 5",
       [](Bytes& b) {
         Put(b, kPrimary + kOwnLba, 5, 8);
         SealHeader(b, kPrimary);
       },
       {{"gpt header", {R::kHeaderOwnSector}}, {"backup gpt", {R::kBackupHeaderDiffers}}}},
      {"primary checksum and compact mark, the backup read",
       [](Bytes& b) {
         b[kPrimary + kHeaderCrc] ^= 1;
         Put(b, kPrimary + kLayoutMark, 0xEEEE, 2);
       },
       {{"gpt header", {R::kLayoutMark}},
        {"header crc", {R::kHeaderCrc}},
        {"backup gpt", {R::kBackupHeaderDiffers}}}},
      {"header checksum",
       [](Bytes& b) { b[kPrimary + kHeaderCrc] ^= 1; },
       {{"header crc", {R::kHeaderCrc}}}},
      {"primary array byte",
       [](Bytes& b) { b[kArray + 100 * kEntrySize + kName] = 'x'; },
       {{"array crc", {R::kArrayCrc}}, {"backup gpt", {R::kBackupArrayDiffers}}}},
      {"primary array past the file",
       [](Bytes& b) {
         Put(b, kPrimary + kArrayLba, 0x1000, 8);
         SealHeader(b, kPrimary);
       },
       {{"gpt header", {R::kArrayPlace}},
        {"array crc", {R::kArrayOutside}},
        {"backup gpt", {R::kBackupArrayDiffers}}}},
      {"entry past the usable sectors",
       [](Bytes& b) { PutEntry(b, 4, kLastLba, 0x210); },
       {{"entry 4 rootfs", {R::kEntryOutsideUsable}, 4}}},
      {"payload length past the end",
       [](Bytes& b) { PutBoth(b, kLengths + 4 * 8, 0x100000, 8); },
       {{"entry 4 rootfs", {R::kPayloadPastEnd}, 4}}},
      {"entry past the partition count",
       [](Bytes& b) { PutBoth(b, kPartitionCount, 4, 2); },
       {{"entry 4 rootfs", {R::kUncountedEntry}, 4}}},
      {"entry on the GPT",
       [](Bytes& b) { PutEntry(b, 0, kFirstLba, 0x10); },
       {{"entry 0 IDBlock", {R::kEntryOutsideUsable}, 0}, {"overlap", {R::kReservedArea}, 0}}},
      {"entries overlapping",
       [](Bytes& b) { PutEntry(b, 1, kFirstLba, 0xB0); },
       {{"overlap", {R::kOverlap}, 1}}},
      {"no backup header",
       [](Bytes& b) { std::fill_n(b.begin() + kBackup, 8, 0); },
       {{"backup gpt", {R::kBackupMissing}}}},
      {"backup checksum",
       [](Bytes& b) { b[kBackup + kHeaderCrc] ^= 1; },
       {{"backup gpt", {R::kBackupUnsound}}}},
      {"backup disk guid",
       [](Bytes& b) {
         b[kBackup + kDiskGuid] ^= 1;
         SealHeader(b, kBackup);
       },
       {{"backup gpt", {R::kBackupHeaderDiffers}}}},
      // The backup array follows the usable sectors, so it moves with them.
      {"last usable sector one less",
       [](Bytes& b) {
         PutBoth(b, kLastUsable, 0x1fe, 8);
         std::copy_n(b.begin() + kArray, 128 * kEntrySize, b.begin() + 0x1ff * 512);
         Put(b, kBackup + kArrayLba, 0x1ff, 8);
         SealHeader(b, kBackup);
       },
       {{"entry 4 rootfs", {R::kEntryOutsideUsable}, 4}, {"usable sectors", {R::kUsableEnd}}}},
      {"disk past 4 GiB",
       [](Bytes& b) {
         PutBoth(b, kBackupLba, 0x800020, 8);
         PutBoth(b, kLastUsable, 0x800020 - 33, 8);
       },
       {{"backup gpt", {R::kBackupMissing}}, {"usable sectors", {R::kDiskPastLimit}}}},
      {"a sector after the backup",
       [](Bytes& b) { b.resize(b.size() + 512); },
       {{"usable sectors", {R::kBackupNotAtEnd}}}},
      {"backup turned off",
       [](Bytes& b) { PutBoth(b, kBackupFlag, 0, 2); },
       {{"usable sectors", {R::kFilePastUsable}}}},
      // A disk of another tool.
      {"foreign sound", Foreign, {}},
      {"foreign without a record of type 0xee",
       [](Bytes& b) {
         Foreign(b);
         b[kMbrRecord + 4] = 0x83;
       },
       {{"protective mbr", {R::kNoProtectiveRecord}}}},
      {"foreign record from sector 2",
       [](Bytes& b) {
         Foreign(b);
         Put(b, kMbrRecord + 8, 2, 4);
       },
       {{"protective mbr", {R::kProtectiveStart}}}},
      {"foreign record of 0x100 sectors",
       [](Bytes& b) {
         Foreign(b);
         Put(b, kMbrRecord + 12, 0x100, 4);
       },
       {{"protective mbr", {R::kProtectiveSize}}}},
      {"foreign hybrid mbr, which holds",
       [](Bytes& b) {
         Foreign(b);
         b[kMbrRecord + 16 + 4] = 0x83;
       },
       {{"protective mbr", {R::kHybridMbr}}}},
      {"foreign array past the first usable sector",
       [](Bytes& b) {
         Foreign(b);
         PutBoth(b, kFirstUsable, 20, 8);
       },
       {{"gpt header", {R::kArrayPlace}}}},
      {"foreign usable sectors onto the backup header",
       [](Bytes& b) {
         Foreign(b);
         PutBoth(b, kLastUsable, 0x220, 8);
       },
       {{"gpt header", {R::kUsableRange}}, {"usable sectors", {R::kUsableEnd}}}},
      {"foreign usable sectors onto the backup array",
       [](Bytes& b) {
         Foreign(b);
         PutBoth(b, kLastUsable, 0x200, 8);
       },
       {{"usable sectors", {R::kUsableEnd}}}},
      {"foreign sector after the backup",
       [](Bytes& b) {
         Foreign(b);
         b.resize(b.size() + 512);
       },
       {{"usable sectors", {R::kBackupNotAtEnd}}}},
  };
  for (const DamageCase& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes image = packed;
    c.damage(image);
    MemorySource source(image);
    const GptImageFacts facts = ReadGptImage(source);
    EXPECT_EQ(FindingsOf(facts.checks), c.expected);
    // Only a hybrid MBR is found by a check that holds.
    const bool holds = std::all_of(c.expected.begin(), c.expected.end(), [](const Finding& f) {
      return f.kinds == std::vector<GptRule>{R::kHybridMbr};
    });
    EXPECT_EQ(AllChecksHold(facts.checks), holds);
  }
}

// A partition count past the 49 lengths the header records: every entry it
// counts is read, and those that take no sectors lie outside the usable
// ones, each found at its own entry.
TEST(GptChecksTest, ACountPastTheRecordedLengthsIsFoundWithTheEntriesItCounts) {
  Bytes image = PackGptBoard();
  PutBoth(image, kPartitionCount, 50, 2);
  MemorySource source(image);
  const std::vector<Check> checks = ReadGptImage(source).checks;
  EXPECT_TRUE(HasProblem(checks, GptRule::kPartitionCount));
  EXPECT_FALSE(HasProblem(checks, GptRule::kEntryOutsideUsable, 4));
  EXPECT_TRUE(HasProblem(checks, GptRule::kEntryOutsideUsable, 5));
  EXPECT_TRUE(HasProblem(checks, GptRule::kEntryOutsideUsable, 49));
  EXPECT_FALSE(HasProblem(checks, GptRule::kEntryOutsideUsable, 50));
}

}  // namespace
}  // namespace imgweld::test
