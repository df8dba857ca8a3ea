// The names unpacking gives its files, decided from the whole table: no
// record's payload is written over another's, the boot files come from the
// boot block the image holds, vendor-type data comes out too, and every
// departure from one file per name is noted.
#include "unpack/OutputNames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "config/ConfigDocument.h"
#include "image/FirmwareImage.h"

namespace imgweld::test {
namespace {

RecordFacts Part(const std::string& name, uint32_t type = 8, bool data = true) {
  return {name, type, data, false, false};
}
RecordFacts Boot(bool programs, bool nano = false) {
  return {"IDBlock", PART_TYPE_IDBLOCK, programs, programs, nano};
}

struct Expected {
  std::vector<std::string> files;
  bool inSettings;
  std::string settingsFile;
};

TEST(OutputNames, EveryPayloadGetsAFileOfItsOwn) {
  const struct {
    const char* what;
    std::vector<RecordFacts> records;
    std::vector<Expected> outputs;
    std::vector<size_t> notedRecords;
    std::string nano;  // of every boot block record
  } cases[] = {
      {"plain table",
       {Boot(true), Part("system")},
       {{{"flashdata.bin", "flashboot.bin"}, true, "flashdata.bin,flashboot.bin"},
        {{"system.img"}, true, "system.img"}},
       {},
       ""},
      {"three partitions of one name",
       {Part("data"), Part("other"), Part("data"), Part("data")},
       {{{"data.img"}, true, "data.img"},
        {{"other.img"}, true, "other.img"},
        {{"data.img.2"}, true, "data.img.2"},
        {{"data.img.3"}, true, "data.img.3"}},
       {2, 3},
       ""},
      {"names that differ in ASCII letter case alone count as one name",
       {Part("Boot"), Part("boot"), Part("BOOT"), Part("\xC3\xA9"), Part("\xC3\x89")},
       {{{"Boot.img"}, true, "Boot.img"},
        {{"boot.img.2"}, true, "boot.img.2"},
        {{"BOOT.img.3"}, true, "BOOT.img.3"},
        {{"\xC3\xA9.img"}, true, "\xC3\xA9.img"},
        {{"\xC3\x89.img"}, true, "\xC3\x89.img"}},
       {1, 2},
       ""},
      {"a later boot block without programs writes nothing",
       {Boot(true, true), Part("x"), Boot(false)},
       {{{"nanoboot1.bin", "nanoboot2.bin"}, true, "nanoboot1.bin,nanoboot2.bin"},
        {{"x.img"}, true, "x.img"},
        {{}, true, "flashdata.bin,flashboot.bin"}},
       {2},
       "1"},
      {"an empty boot block before the one with programs",
       {Boot(false), Boot(true)},
       {{{}, true, "flashdata.bin,flashboot.bin"},
        {{"flashdata.bin", "flashboot.bin"}, true, "flashdata.bin,flashboot.bin"}},
       {0},
       ""},
      {"two boot blocks with programs",
       {Boot(true), Boot(true)},
       {{{"flashdata.bin", "flashboot.bin"}, true, "flashdata.bin,flashboot.bin"},
        {{"flashdata.bin.2", "flashboot.bin.2"}, true, "flashdata.bin.2,flashboot.bin.2"}},
       {1},
       ""},
      {"no boot block has programs: the first gives its (empty) files",
       {Boot(false)},
       {{{"flashdata.bin", "flashboot.bin"}, true, "flashdata.bin,flashboot.bin"}},
       {},
       ""},
      {"vendor-type data comes out, outside setting.ini",
       {Part("vendor", PART_TYPE_VENDOR, false), Part("extra", PART_TYPE_VENDOR), Part("extra")},
       {{{}, false, ""}, {{"extra.img"}, false, ""}, {{"extra.img.2"}, true, "extra.img.2"}},
       {1, 2},
       ""},
      {"empty ordinary partitions still get their (empty) file",
       {Part("a", 8, false), Part("a", 8, false)},
       {{{"a.img"}, true, "a.img"}, {{"a.img.2"}, true, "a.img.2"}},
       {1},
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const OutputNames names = DecideOutputNames(c.records);
    ASSERT_EQ(names.records.size(), c.outputs.size());
    for (size_t i = 0; i < c.outputs.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(names.records[i].files, c.outputs[i].files);
      EXPECT_EQ(names.records[i].inSettings, c.outputs[i].inSettings);
      EXPECT_EQ(names.records[i].settingsFile, c.outputs[i].settingsFile);
      if (c.records[i].type == PART_TYPE_IDBLOCK) {
        EXPECT_EQ(names.records[i].nano, c.nano);
      }
    }
    std::vector<size_t> noted;
    for (const OutputNote& note : names.notes) noted.push_back(note.record);
    EXPECT_EQ(noted, c.notedRecords);
  }
}

// No two records ever share a file, whatever the names, also in a directory
// that does not tell ASCII letter case apart: numbered names cannot meet a
// partition's own file or a boot file.
TEST(OutputNames, NoTwoRecordsShareAFile) {
  const std::vector<RecordFacts> records = {Boot(true),
                                            Part("data.img"),
                                            Part("data"),
                                            Part("data"),
                                            Part("flashdata"),
                                            Boot(true),
                                            Part("data.2"),
                                            Part("data.img"),
                                            Boot(false),
                                            Part("setting"),
                                            Part("data", PART_TYPE_VENDOR),
                                            Part("Data"),
                                            Part("DATA.2"),
                                            Part("DATA.img")};
  const OutputNames names = DecideOutputNames(records);
  std::vector<std::string> all;
  for (const RecordOutput& output : names.records) {
    for (const std::string& file : output.files) all.push_back(CaseFolded(file));
  }
  all.push_back("setting.ini");
  std::vector<std::string> sorted = all;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end())
      << ::testing::PrintToString(all);
}

TEST(OutputNames, FactsComeFromTheStoredRecord) {
  PartitionEntry vendor = MakeVendorEntry();
  EXPECT_FALSE(FactsOf(vendor).holdsData);  // the vendor area is skipped
  vendor.flag = 0;
  EXPECT_TRUE(FactsOf(vendor).holdsData);
  PartitionEntry boot;
  boot.type = PART_TYPE_IDBLOCK;
  EXPECT_FALSE(FactsOf(boot).hasPrograms);
  BootFields fields;
  fields.secondFileLength = 1;
  SetBootFields(boot, fields);
  EXPECT_TRUE(FactsOf(boot).hasPrograms);
}

// The section the writer made gets the decided file and the Nano of the boot
// block held, in place.
TEST(OutputNames, SettingsTakeTheDecidedNames) {
  ConfigDocument document;
  document.SetValue("System", "Nano", "");
  document.SetValue("UserPart1", "File", "flashdata.bin,flashboot.bin");
  document.SetValue("UserPart2", "File", "data.img");
  const OutputNames names = DecideOutputNames(
      std::vector<RecordFacts>{Boot(true, true), Part("data"), Part("data"), Boot(false)});
  ApplyOutputNames(document, 1, names.records[0], PART_TYPE_IDBLOCK);
  EXPECT_EQ(document.GetValue("System", "Nano"), "1");
  ApplyOutputNames(document, 2, names.records[2], 8);
  EXPECT_EQ(document.GetValue("UserPart2", "File"), "data.img.2");
  document.SetValue("System", "Nano", "");  // as the later boot block's section resets it
  ApplyOutputNames(document, 3, names.records[3], PART_TYPE_IDBLOCK);
  EXPECT_EQ(document.GetValue("System", "Nano"), "1");
}

}  // namespace
}  // namespace imgweld::test
