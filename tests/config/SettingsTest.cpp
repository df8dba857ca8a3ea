#include "config/Settings.h"

#include <gtest/gtest.h>

#include <sstream>

namespace imgweld {
namespace {

// Documents hold back references from their sections, so they are not
// copied or moved; tests parse into one in place.
void ParseInto(ConfigDocument& document, const std::string& text) {
  std::istringstream in(text);
  document.Parse(in, false);
}

TEST(Settings, DefaultsWithoutSystemSection) {
  for (const char* text : {"", "[Other]\nGpt_Enable=1\nFILL_BYTE=7\n", "[System]\n"}) {
    ConfigDocument document;
    ParseInto(document, text);
    EXPECT_FALSE(IsGptEnableSet(document)) << text;
    EXPECT_FALSE(IsGptEnabled(document));
    EXPECT_FALSE(IsBackupPartitionEnabled(document));
    EXPECT_FALSE(IsNanoEnabled(document));
    EXPECT_FALSE(IsBlankGapEnabled(document));
    EXPECT_FALSE(IsLoaderScrambled(document));
    EXPECT_EQ(GetFillByte(document), 0);
    EXPECT_EQ(GetLoaderEncrypt(document), 1);
    EXPECT_EQ(GetIdbBootEncrypt(document), 1);
  }
}

struct GptCase {
  const char* line;
  bool set;
  bool enabled;
};

TEST(Settings, GptEnableHasThreeMeanings) {
  const GptCase cases[] = {
      {"Gpt_Enable=1", true, true},     {"Gpt_Enable=0", true, false},
      {"Gpt_Enable=2", false, false},   {"Gpt_Enable=yes", false, false},
      {"Gpt_Enable = 1", false, false}, {"Gpt_Enable=", false, false},
      {"gpt_enable=1", true, true},     {"Gpt_Enable=01", false, false},
  };
  for (const GptCase& c : cases) {
    ConfigDocument document;
    ParseInto(document, std::string("[system]\n") + c.line + "\n");
    EXPECT_EQ(IsGptEnableSet(document), c.set) << c.line;
    EXPECT_EQ(IsGptEnabled(document), c.enabled) << c.line;
  }
}

TEST(Settings, FlagsAreTrueOnlyForExactlyOne) {
  const std::pair<const char*, bool> values[] = {
      {"1", true},    {" 1", false}, {"1 ", false}, {"01", false}, {"true", false},
      {"yes", false}, {"on", false}, {"", false},   {"0", false},
  };
  for (const auto& [value, expected] : values) {
    for (const char* key : {"Backup_Partition_Enable", "Nano", "BLANK_GAP", "Loader_Scrambled"}) {
      ConfigDocument document;
      document.SetValue("System", key, value);
      const std::string name = key;
      const bool got = name == "Nano"               ? IsNanoEnabled(document)
                       : name == "BLANK_GAP"        ? IsBlankGapEnabled(document)
                       : name == "Loader_Scrambled" ? IsLoaderScrambled(document)
                                                    : IsBackupPartitionEnabled(document);
      EXPECT_EQ(got, expected) << key << "='" << value << "'";
    }
  }
}

struct NumberCase {
  const char* value;
  int32_t fill;    // GetFillByte (default 0)
  int32_t loader;  // GetLoaderEncrypt (default 1)
};

TEST(Settings, NumbersUseBaseZeroOverTheWholeValue) {
  const NumberCase cases[] = {
      {"0xFF", 255, 255},  {"0XfF", 255, 255},     {"255", 255, 255},    {"0377", 255, 255},
      {"0x1FF", 511, 511}, {"-1", -1, -1},         {"ff", 0, 1},         {"0xFF ", 0, 1},
      {" 7", 7, 7},        {"+7", 7, 7},           {"", 0, 1},           {"no", 0, 1},
      {"0", 0, 0},         {"256", 256, 256},      {"08", 0, 1},         {"0b1", 0, 1},
      {"0x", 0, 1},        {"0xFFFFFFFF", -1, -1}, {"4294967296", 0, 0}, {"-", 0, 1},
  };
  for (const NumberCase& c : cases) {
    ConfigDocument document;
    document.SetValue("System", "FILL_BYTE", c.value);
    document.SetValue("System", "Loader_Encrypt", c.value);
    document.SetValue("System", "IDB_Boot_Encrypt", c.value);
    EXPECT_EQ(GetFillByte(document), c.fill) << "'" << c.value << "'";
    EXPECT_EQ(GetLoaderEncrypt(document), c.loader) << "'" << c.value << "'";
    EXPECT_EQ(GetIdbBootEncrypt(document), c.loader) << "'" << c.value << "'";
  }
}

TEST(Settings, ParsedCommentLeavesBlankSoDefaultApplies) {
  ConfigDocument document;
  ParseInto(document, "[System]\nFILL_BYTE=0xFF # pad\nLoader_Encrypt=0\n");
  EXPECT_EQ(GetFillByte(document), 0);
  EXPECT_EQ(GetLoaderEncrypt(document), 0);
}

TEST(Settings, GettersSeeLaterChanges) {
  ConfigDocument document;
  EXPECT_FALSE(IsNanoEnabled(document));
  document.SetValue("System", "Nano", "1");
  EXPECT_TRUE(IsNanoEnabled(document));
}

}  // namespace
}  // namespace imgweld
