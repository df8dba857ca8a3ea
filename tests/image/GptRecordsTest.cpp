#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "config/ConfigDocument.h"
#include "image/FirmwareImage.h"
#include "image/GptRecords.h"
#include "pack/GptWriter.h"

namespace imgweld {
namespace {

void Parse(ConfigDocument& document, const std::string& text) {
  std::istringstream input(text);
  document.Parse(input, false);
}

TEST(ParseGuidText, StoresTheFirstThreeGroupsLittleEndian) {
  const Guid expected = {0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66,
                         0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
  Guid guid{};
  ASSERT_TRUE(ParseGuidText("00112233-4455-6677-8899-AABBCCDDEEFF", guid));
  EXPECT_EQ(guid, expected);
  ASSERT_TRUE(ParseGuidText("00112233-4455-6677-8899-aabbccddeeff", guid));
  EXPECT_EQ(guid, expected);
}

TEST(ParseGuidText, RefusesAnythingButTheExactTextForm) {
  const std::string good = "00112233-4455-6677-8899-AABBCCDDEEFF";
  const std::string cases[] = {
      "",
      " " + good,  // a blank after the "=" stays in the value
      good + " ",
      good.substr(0, 35),                      // one digit short
      good.substr(1),                          // every position shifted
      "0x112233-4455-6677-8899-AABBCCDDEEFF",  // a hexadecimal prefix is not a digit
      "00112233-4455-6677-8899-AABBCCDDEEFG",
      "00112233_4455-6677-8899-AABBCCDDEEFF",
      "001122334-455-6677-8899-AABBCCDDEEFF",
      "{00112233-4455-6677-8899-AABBCCDDEE}",
      good.substr(0, 24),  // ends where the last group starts
      std::string("00112233-4455-6677-8899-AABBCCDD\0EFF", 36),
  };
  for (const std::string& text : cases) {
    Guid guid;
    guid.fill(0x5A);
    EXPECT_FALSE(ParseGuidText(text, guid)) << '"' << text << '"';
    EXPECT_EQ(guid, Guid{}) << '"' << text << '"';
  }
}

TEST(RandomGuid, CarriesVersionAndVariantBitsAndDiffers) {
  std::set<Guid> seen;
  for (int i = 0; i < 200; ++i) {
    Guid guid{};
    RandomGuid(guid);
    EXPECT_EQ(guid[7] & 0xF0, 0x40);
    EXPECT_EQ(guid[8] & 0x80, 0x80);
    // The top byte of each `rand` result is below 0x80.
    EXPECT_LE(guid[0], 0x7F);
    EXPECT_LE(guid[4], 0x7F);
    EXPECT_LE(guid[12], 0x7F);
    seen.insert(guid);
  }
  EXPECT_EQ(seen.size(), 200u);
}

TEST(WidenName, OneSignExtendedUnitPerByte) {
  const auto boot = WidenName("boot");
  EXPECT_EQ(boot[0], 0x62);
  EXPECT_EQ(boot[1], 0x6F);
  EXPECT_EQ(boot[2], 0x6F);
  EXPECT_EQ(boot[3], 0x74);
  for (size_t i = 4; i < boot.size(); ++i) EXPECT_EQ(boot[i], 0) << i;

  const auto high = WidenName("\x7F\x80\xE9\xFF");
  EXPECT_EQ(high[0], 0x007F);
  EXPECT_EQ(high[1], 0xFF80);
  EXPECT_EQ(high[2], 0xFFE9);
  EXPECT_EQ(high[3], 0xFFFF);
}

TEST(ReadPartitionTypeGuids, CopiesTheSectionVerbatim) {
  ConfigDocument document;
  Parse(document,
        "[PARTITION_TYPE_GUID]\n  RootFS = 00112233-4455-6677-8899-AABBCCDDEEFF\nboot=x\n");
  GuidMap guids{{"stale", "1"}};
  ASSERT_TRUE(ReadPartitionTypeGuids(document, guids));
  // Key names are trimmed by the configuration store, values are not.
  const GuidMap expected = {{"RootFS", " 00112233-4455-6677-8899-AABBCCDDEEFF"}, {"boot", "x"}};
  EXPECT_EQ(guids, expected);

  ConfigDocument empty;
  Parse(empty, "[partition_type_guid]\n");
  EXPECT_TRUE(ReadPartitionTypeGuids(empty, guids));
  EXPECT_TRUE(guids.empty());

  ConfigDocument none;
  Parse(none, "[System]\nGpt_Enable=0\n");
  guids["stale"] = "1";
  EXPECT_FALSE(ReadPartitionTypeGuids(none, guids));
  EXPECT_TRUE(guids.empty());
}

}  // namespace
}  // namespace imgweld

namespace imgweld {
namespace {

// The readers give back what the writers stored, field by field.
TEST(GptReaders, DecodeWhatWasEncoded) {
  GptHeader header;
  header.headerCrc = 0x11223344;
  header.backupLba = 0x220;
  header.lastUsableLba = 0x1FF;
  header.arrayCrc = 0x55667788;
  header.layoutMarker = kGptPaddedMarker;
  header.backupEnabled = 1;
  header.partitionCount = 2;
  header.dataLengths[0] = 10240;
  header.dataLengths[1] = uint64_t{1} << 40;
  ASSERT_TRUE(ParseGuidText("0FC63DAF-8483-4772-8E79-3D69D8477DE4", header.diskGuid));
  const SectorBytes bytes = EncodeGptHeader(header);
  EXPECT_TRUE(HasGptSignature(bytes));
  EXPECT_EQ(EncodeGptHeader(DecodeGptHeader(bytes)), bytes);

  GptEntry entry;
  entry.firstLba = 0x40;
  entry.lastLba = 0xBF;
  entry.attributes = 4;
  entry.name = WidenName("boot\xe9");
  RandomGuid(entry.typeGuid);
  RandomGuid(entry.uniqueGuid);
  EXPECT_EQ(EncodeGptEntry(DecodeGptEntry(EncodeGptEntry(entry))), EncodeGptEntry(entry));

  const SectorBytes mbr = EncodeProtectiveMbr(ProtectiveMbr{});
  EXPECT_EQ(EncodeProtectiveMbr(DecodeProtectiveMbr(mbr)), mbr);
}

TEST(GptReaders, GuidTextAndNamesReadBack) {
  Guid guid{};
  ASSERT_TRUE(ParseGuidText("00112233-4455-6677-8899-aabbccddeeff", guid));
  EXPECT_EQ(GuidText(guid), "00112233-4455-6677-8899-AABBCCDDEEFF");
  EXPECT_EQ(NarrowName(WidenName("rootfs")), "rootfs");
  EXPECT_EQ(NarrowName(WidenName("caf\xe9")), "caf\xe9");
  std::array<uint16_t, 36> units{};
  units[0] = 'a';
  units[1] = 0x0100;  // no byte widens to it
  EXPECT_FALSE(NarrowName(units));
}

}  // namespace
}  // namespace imgweld
