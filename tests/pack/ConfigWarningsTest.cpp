#include <gtest/gtest.h>

#include "pack/ConfigWarnings.h"
#include "pack/PackFirmware.h"
#include "pack/PackTestSupport.h"
#include "support/TestSupport.h"

namespace imgweld::test {
namespace {

// Each likely mistake gives exactly its line on the diagnostics stream.
TEST(ConfigWarnings, LikelyMistakesAreToldOnTheDiagnosticsStream) {
  const std::string system = "[System]\nFwVersion=1.2.3\n";
  const std::string part = "[UserPart1]\nName=a\nType=8\nPartOffset=0x40\nPartSize=0x10\nFlag=0\n";
  const struct {
    const char* what;
    std::string config;
    std::string line;  // empty: nothing to tell
  } cases[] = {
      {"clean", system + part, ""},
      {"key typo", system + part + "PartOfset=0x40\n",
       "imgweld: c.ini: [UserPart1]: unknown key \"PartOfset\" is ignored; did you mean "
       "\"PartOffset\"?\n"},
      {"unknown key far from any", system + "Colour=blue\n" + part,
       "imgweld: c.ini: [System]: unknown key \"Colour\" is ignored\n"},
      {"section typo", system + part + "[UserPrat2]\nName=b\n",
       "imgweld: c.ini: [UserPrat2]: unknown section is ignored; did you mean [UserPart2]?\n"},
      {"gap in the numbering", system + part + "[UserPart3]\nName=c\n",
       "imgweld: c.ini: [UserPart3]: ignored: partition sections end at [UserPart1]\n"},
      {"number with text after it", system + part + "PartSize=32M\n",
       "imgweld: c.ini: [UserPart1] PartSize=32M: only \"32\" is used, \"M\" after it is "
       "ignored\n"},
      {"no number at all", system + part + "Flag=skip\n",
       "imgweld: c.ini: [UserPart1] Flag=skip: not a number, read as 0\n"},
      {"blanks around a switch", system + "Backup_Partition_Enable = 1\n" + part,
       "imgweld: c.ini: [System] Backup_Partition_Enable= 1: the blanks around \"1\" make it "
       "count as not set\n"},
      {"blanks around a partition-table switch of 0", system + "Gpt_Enable = 0\n" + part,
       "imgweld: c.ini: [System] Gpt_Enable= 0: the blanks around \"0\" make it count as not "
       "set\n"},
      {"blanks around a partition-table switch of 1", system + "Gpt_Enable = 1\n" + part,
       "imgweld: c.ini: [System] Gpt_Enable= 1: the blanks around \"1\" make it count as not "
       "set\n"},
      {"blanks around a switch of 0", system + "Nano = 0\n" + part,
       "imgweld: c.ini: [System] Nano= 0: the blanks around \"0\" make it count as not set\n"},
      {"system number with a comment", system + "FILL_BYTE=0xFF # pad\n" + part,
       "imgweld: c.ini: [System] FILL_BYTE=0xFF : not a whole number, the default is used\n"},
      {"version with a letter", "[System]\nFwVersion=v1.2.3\n" + part,
       "imgweld: c.ini: [System] FwVersion=v1.2.3: piece \"v1\" is not a plain decimal number, "
       "read as 0\n"},
      {"version piece too large", "[System]\nFwVersion=1.256.3\n" + part,
       "imgweld: c.ini: [System] FwVersion=1.256.3: piece 256 exceeds 255 and spills into its "
       "neighbour\n"},
      {"type GUID name with no key", system + "Gpt_Enable=0\n" + part + "Type_Guid=linux\n",
       "imgweld: c.ini: [UserPart1] Type_Guid=linux: no such key in [PARTITION_TYPE_GUID], the "
       "type GUID is random\n"},
      {"type GUID name in another case",
       system + "Gpt_Enable=1\n" + part + "Type_Guid=rootfs\n[PARTITION_TYPE_GUID]\nRootFS=x\n",
       "imgweld: c.ini: [UserPart1] Type_Guid=rootfs: no such key in [PARTITION_TYPE_GUID], the "
       "type GUID is random\n"},
      {"type GUID names in the tagged image are only text", system + part + "Type_Guid=linux\n",
       ""},
      {"growing last partition before a backup GPT",
       system + "Gpt_Enable=0\nBackup_Partition_Enable=1\n" + part + "Flag=4\n",
       "imgweld: c.ini: [UserPart1]: the last partition grows, so the backup GPT follows its data "
       "instead of the disk's end, and disk tools reject the image\n"},
      {"growing last partition without a backup GPT",
       system + "Gpt_Enable=0\nBackup_Partition_Enable=0\n" + part + "Flag=4\n", ""},
      // The padded disk ends with the last partition listed; one listed
      // before it that ends further lies outside the usable sectors.
      {"partition past the last one listed",
       system + "Gpt_Enable=0\n" + part +
           "[UserPart2]\nName=b\nType=8\nPartOffset=0x20\nPartSize=0x10\nFlag=0\n",
       "imgweld: c.ini: [UserPart1]: ends at sector 0x50, past the end of the last partition "
       "listed (0x30), where the disk's usable sectors end, so GPT tools find it outside the "
       "disk\n"},
      {"partition before a growing last one",
       system + "Gpt_Enable=0\n" + part +
           "[UserPart2]\nName=b\nType=8\nPartOffset=0x50\nPartSize=0x10\nFlag=4\n",
       ""},
      {"partition past the last one in the compact layout",
       system + "Gpt_Enable=1\n" + part +
           "[UserPart2]\nName=b\nType=8\nPartOffset=0x20\nPartSize=0x10\nFlag=0\n",
       ""},
      // A skipped partition writes nothing, so packing takes it, but its
      // entry still claims its sectors.
      {"skipped partition whose entry meets another",
       system + "Gpt_Enable=0\n" + part + "Flag=1\n" +
           "[UserPart2]\nName=b\nType=8\nPartOffset=0x48\nPartSize=0x10\nFlag=0\n",
       "imgweld: c.ini: [UserPart2]: its table entry, sectors 0x48-0x57, overlaps that of "
       "[UserPart1], sectors 0x40-0x4f, so GPT tools find the partition table damaged\n"},
      {"boot block raised onto a skipped entry",
       system + "Gpt_Enable=0\n" + part + "Flag=1\n" +
           "[UserPart2]\nName=IDBlock\nType=2\nPartOffset=0\nPartSize=0x800\nFlag=0\n",
       "imgweld: c.ini: [UserPart2]: its table entry, sectors 0x40-0x83f, overlaps that of "
       "[UserPart1], sectors 0x40-0x4f, so GPT tools find the partition table damaged\n"},
      // The growing last entry reaches the last usable sector, past the
      // data it writes.
      {"partition after the data of a growing last one",
       system + "Gpt_Enable=0\n" + part +
           "[UserPart2]\nName=b\nType=8\nPartOffset=0x20\nPartSize=0\nFlag=4\n",
       "imgweld: c.ini: [UserPart2]: its table entry, sectors 0x20-0xffffffffffffffdd, overlaps "
       "that of [UserPart1], sectors 0x40-0x4f, so GPT tools find the partition table damaged\n"},
      {"entry meeting several",
       system + "Gpt_Enable=0\n" + part + "Flag=1\n" +
           "[UserPart2]\nName=b\nType=8\nPartOffset=0x40\nPartSize=0x8\nFlag=1\n" +
           "[UserPart3]\nName=c\nType=8\nPartOffset=0x40\nPartSize=0x10\nFlag=0\n",
       "imgweld: c.ini: [UserPart2]: its table entry, sectors 0x40-0x47, overlaps that of "
       "[UserPart1], sectors 0x40-0x4f, so GPT tools find the partition table damaged\n"
       "imgweld: c.ini: [UserPart3]: its table entry, sectors 0x40-0x4f, overlaps that of "
       "[UserPart1], sectors 0x40-0x4f (and 1 more), so GPT tools find the partition table "
       "damaged\n"},
      {"skipped entries that meet in the compact layout",
       system + "Gpt_Enable=1\n" + part + "Flag=1\n" +
           "[UserPart2]\nName=b\nType=8\nPartOffset=0x48\nPartSize=0x10\nFlag=0\n",
       ""},
      {"skipped entry next to another",
       system + "Gpt_Enable=0\n" + part + "Flag=1\n" +
           "[UserPart2]\nName=b\nType=8\nPartOffset=0x50\nPartSize=0x10\nFlag=0\n",
       ""},
      {"partitions in sector order",
       system + "Gpt_Enable=0\n" + part +
           "[UserPart2]\nName=b\nType=8\nPartOffset=0x50\nPartSize=0x10\nFlag=0\n",
       ""},
      {"last version piece too large", "[System]\nFwVersion=1.2.65536\n" + part,
       "imgweld: c.ini: [System] FwVersion=1.2.65536: piece 65536 exceeds 65535 and spills into "
       "its neighbour\n"},
      {"last version piece at its limit", "[System]\nFwVersion=1.2.65535\n" + part, ""},
      {"attributes in a tagged image", system + part + "Attributes=0x4\n",
       "imgweld: c.ini: [UserPart1] Attributes=0x4: the tagged image has no attributes field, so "
       "the key is ignored\n"},
      {"attributes in a partition-table image",
       system + "Gpt_Enable=0\n" + part + "Attributes=0x4\n", ""},
      {"fill byte cut to its low byte", system + "FILL_BYTE=0x1FF\n" + part,
       "imgweld: c.ini: [System] FILL_BYTE=0x1FF: only the low 8 bits count, so it is read as "
       "0xff\n"},
      {"scrambling number whose low byte is 0", system + "Loader_Encrypt=256\n" + part,
       "imgweld: c.ini: [System] Loader_Encrypt=256: only the low 8 bits count, so it is read as "
       "0x00\n"},
      {"system number beyond 32 bits", system + "IDB_Boot_Encrypt=0x100000001\n" + part,
       "imgweld: c.ini: [System] IDB_Boot_Encrypt=0x100000001: only the low 8 bits count, so it "
       "is read as 0x01\n"},
      {"byte values at both ends", system + "FILL_BYTE=255\nLoader_Encrypt=-128\n" + part, ""},
      {"fill byte of -1 is all ones", system + "FILL_BYTE=-1\n" + part, ""},
      {"negative partition number beyond 32 bits", system + part + "PartSize=-4294967297\n",
       "imgweld: c.ini: [UserPart1] PartSize=-4294967297: wider than 32 bits, cut to "
       "0xffffffff\n"},
      {"negative partition number within 32 bits", system + part + "PartSize=-0xFFFFFFFF\n", ""},
      {"name longer than its field", system + part + "Name=" + std::string(32, 'n') + "\n",
       "imgweld: c.ini: [UserPart1] Name=" + std::string(32, 'n') +
           ": longer than 31 characters, cut to \"" + std::string(31, 'n') + "\"\n"},
      {"name that fills its field", system + part + "Name=" + std::string(31, 'n') + "\n", ""},
      {"chip and model longer than their fields",
       system + "Chip=ZB10X\nModel=" + std::string(33, 'm') + "\n" + part,
       "imgweld: c.ini: [System] Chip=ZB10X: longer than 4 characters, cut to \"ZB10\"\n"
       "imgweld: c.ini: [System] Model=" +
           std::string(33, 'm') + ": longer than 32 characters, cut to \"" + std::string(32, 'm') +
           "\"\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ConfigDocument document;
    ParseConfig(document, c.config);
    StringOutput out;
    const std::optional<std::string> first =
        WarnAboutConfiguration(document, ResolvePackOptions(document, ""), "c.ini", out);
    EXPECT_EQ(out.Diagnostics(), c.line);
    EXPECT_EQ(out.Text(), "");
    // The first warning, which a strict run refuses, is the first line told.
    EXPECT_EQ(first ? "imgweld: " + *first + "\n" : "", c.line.substr(0, c.line.find('\n') + 1));
  }
}

TEST(ConfigWarnings, NearestNameIsATypoNotAGuess) {
  const std::vector<std::string> known = {"PartOffset", "PartSize", "Name"};
  EXPECT_EQ(NearestName("partofset", known), "PartOffset");
  EXPECT_EQ(NearestName("PartSzie", known), "PartSize");
  EXPECT_EQ(NearestName("Colour", known), "");
  EXPECT_EQ(NearestName("Name", known), "");  // a known name is no typo
}

// The run goes on unchanged: standard output and the image are those of
// the same configuration without the mistake.
TEST(ConfigWarnings, PackingIsUnchangedByWhatIsTold) {
  TempDir dir;
  WriteBytes(dir / "ddr.bin", RandomBytes(3000, 1));
  WriteBytes(dir / "loader.bin", RandomBytes(3000, 2));
  const std::string base =
      "[System]\nFwVersion=1.2.3\n" +
      PartSection(1, "IDBlock", "2", "0x40", "0x800", "0", "ddr.bin,loader.bin");
  StringOutput plain, warned;
  std::filesystem::create_directories(dir / "a");
  std::filesystem::create_directories(dir / "b");
  WriteText(dir / "a.ini", base);
  WriteText(dir / "b.ini", base + "PartOfset=7\n[UserPart3]\nName=x\n");
  ASSERT_TRUE(PackFirmware(dir / "a.ini", dir / "a", plain, FixedPackTime()));
  ASSERT_TRUE(PackFirmware(dir / "b.ini", dir / "b", warned, FixedPackTime()));
  EXPECT_EQ(warned.Text(), plain.Text());
  EXPECT_EQ(plain.Diagnostics(), "");
  EXPECT_NE(warned.Diagnostics().find("PartOfset"), std::string::npos);
  EXPECT_EQ(ReadBytes(dir / "b/Firmware.img"), ReadBytes(dir / "a/Firmware.img"));
}

}  // namespace
}  // namespace imgweld::test
