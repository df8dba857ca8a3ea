#include <gtest/gtest.h>

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

}  // namespace
}  // namespace imgweld::test
