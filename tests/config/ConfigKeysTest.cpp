#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>

#include "config/ConfigKeys.h"

namespace imgweld::test {
namespace {

TEST(ConfigKeys, LookupsIgnoreCaseButNotTheSection) {
  const ConfigKey* offset = FindConfigKey(KeySection::kPartition, "partoffset");
  ASSERT_NE(offset, nullptr);
  EXPECT_EQ(offset->name, "PartOffset");
  EXPECT_EQ(offset->kind, KeyKind::kNumber);
  EXPECT_EQ(FindConfigKey(KeySection::kSystem, "PartOffset"), nullptr);
  EXPECT_EQ(FindConfigKey(KeySection::kPartition, "PartOffse"), nullptr);

  const ConfigKey* encrypt = FindConfigKey(KeySection::kSystem, "Loader_Encrypt");
  ASSERT_NE(encrypt, nullptr);
  EXPECT_EQ(encrypt->fallback, "1");  // scrambled unless told otherwise
  const ConfigKey* gpt = FindConfigKey(KeySection::kSystem, "GPT_ENABLE");
  ASSERT_NE(gpt, nullptr);
  EXPECT_EQ(gpt->kind, KeyKind::kSwitch);
}

TEST(ConfigKeys, EveryKeyIsListedOncePerSection) {
  std::set<std::pair<KeySection, std::string>> seen;
  for (const ConfigKey& k : ConfigKeys()) {
    std::string lower(k.name);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_TRUE(seen.insert({k.section, lower}).second) << k.name;
  }
}

TEST(ConfigKeys, SectionNamesAndNumbers) {
  EXPECT_EQ(PartitionSectionName(1), "UserPart1");
  EXPECT_EQ(PartitionSectionName(64), "UserPart64");
  const struct {
    const char* text;
    uint32_t value;
  } cases[] = {
      {"0x2000", 0x2000}, {"010", 8},   {"12", 12}, {"32M", 32},
      {"skip", 0},        {"", 0},      {" 7", 7},  {"0x1FFFFFFFF", 0xFFFFFFFF},
      {"-1", 0xFFFFFFFF}, {"0X10", 16},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseConfigNumber(c.text), c.value) << c.text;
}

// The three readings side by side: a partition number takes what it can
// and says how much; a System number is the whole value or nothing.
TEST(ConfigKeys, NumberReadingsDifferWhereTheyShould) {
  const struct {
    const char* text;
    size_t length;  // what the partition reading takes
    bool fits;
    std::optional<int32_t> system;
  } cases[] = {
      {"0x10", 4, true, 16},
      {"32M", 2, true, std::nullopt},
      {"skip", 0, true, std::nullopt},
      {" 7", 2, true, 7},
      {"7 ", 1, true, std::nullopt},
      {"-1", 2, true, -1},
      {"0xFFFFFFFF", 10, true, -1},
      {"0x100000000", 11, false, 0},
      // strtol saturates at LONG_MAX, whose low 32 bits are all ones.
      {"99999999999999999999999", 23, false, -1},
      {"0b1", 1, true, std::nullopt},
      {"", 0, true, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ConfigNumberLength(c.text), c.length);
    EXPECT_EQ(ConfigNumberFits32(c.text), c.fits);
    EXPECT_EQ(ParseSystemNumber(c.text), c.system);
  }
  EXPECT_EQ(ParseVersionPiece("08"), 8);
  EXPECT_EQ(ParseVersionPiece("0x1"), 0);
  EXPECT_EQ(ParseVersionPiece("-2"), -2);
}

}  // namespace
}  // namespace imgweld::test
