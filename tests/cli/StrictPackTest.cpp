// "-P <config> <dir> strict": every warning a pack run would give refuses the
// run instead, before anything is written.
#include <gtest/gtest.h>

#include <filesystem>
#include <string_view>

#include "support/TestSupport.h"

namespace imgweld {
namespace {

namespace fs = std::filesystem;

// The example board's configuration with one text replaced.
std::string EditedBoard(const std::string& from, const std::string& to) {
  std::string config = test::ReadText(test::SourceDir() + "/examples/board/setting.ini");
  const size_t at = config.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) config.replace(at, from.size(), to);
  return config;
}

TEST(StrictPack, EveryWarningRefusesTheRunAndNothingIsWritten) {
  const struct {
    const char* what;
    std::string config;
    std::string refusal;  // what follows "Packing Error:strict: board/setting.ini: "
  } cases[] = {
      {"unknown section dropping partitions", EditedBoard("[UserPart3]", "[UserPrat3]"),
       // The first warning told: the partitions after the typo are dropped.
       "[UserPart4]: ignored: partition sections end at [UserPart2]"},
      {"unknown key", EditedBoard("FILL_BYTE=", "FILLBYTE="),
       "[System]: unknown key \"FILLBYTE\" is ignored; did you mean \"FILL_BYTE\"?"},
      {"misspelt switch", EditedBoard("Backup_Partition_Enable", "Backup_Partiton_Enable"),
       "[System]: unknown key \"Backup_Partiton_Enable\" is ignored; did you mean "
       "\"Backup_Partition_Enable\"?"},
      {"blanks around a switch", EditedBoard("[System]\n", "[System]\nNano = 0\n"),
       "[System] Nano= 0: the blanks around \"0\" make it count as not set"},
      {"fill byte cut to its low byte", EditedBoard("FILL_BYTE=0xFF", "FILL_BYTE=0x1FF"),
       "[System] FILL_BYTE=0x1FF: only the low 8 bits count, so it is read as 0xff"},
      {"negative partition number beyond 32 bits",
       EditedBoard("Type=0x8\nPartOffset=0xC0", "Type=-0x100000008\nPartOffset=0xC0"),
       "[UserPart2] Type=-0x100000008: wider than 32 bits, cut to 0xfffffff8"},
      {"name cut to 31 characters",
       EditedBoard("Name=uboot", "Name=uboot_with_a_name_longer_than_the_field"),
       "[UserPart2] Name=uboot_with_a_name_longer_than_the_field: longer than 31 characters, cut "
       "to \"uboot_with_a_name_longer_than_t\""},
      {"number with text after it", EditedBoard("PartSize=0x40\n", "PartSize=0x40M\n"),
       "[UserPart2] PartSize=0x40M: only \"0x40\" is used, \"M\" after it is ignored"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    const std::string work = dir.Path().string();
    fs::copy(test::SourceDir() + "/examples/board", dir.Path() / "board");
    test::WriteText(work + "/board/setting.ini", c.config);
    fs::create_directories(dir.Path() / "out");
    // An earlier image and hash file stay as they were.
    test::WriteText(work + "/out/Firmware.img", "earlier image");
    test::WriteText(work + "/out/Firmware.md5", "earlier hash");
    for (const char* word : {"strict", "Strict", "STRICT"}) {
      const test::RunResult refused =
          test::RunImgweld({"-P", "board/setting.ini", "out", word}, work);
      EXPECT_EQ(refused.exitCode, 3) << word;
      EXPECT_EQ(refused.output, "Packing Error:strict: board/setting.ini: " + c.refusal + "\r\n")
          << word;
      EXPECT_EQ(test::Entries(dir.Path() / "out"),
                (std::vector<std::string>{"Firmware.img", "Firmware.md5"}));
      EXPECT_EQ(test::ReadText(work + "/out/Firmware.img"), "earlier image");
      EXPECT_EQ(test::ReadText(work + "/out/Firmware.md5"), "earlier hash");
    }
    // Without the word the run warns and packs; another fourth word is ignored.
    for (const char* word : {"", "strictly"}) {
      std::vector<std::string> args = {"-P", "board/setting.ini", "out"};
      if (*word != '\0') args.emplace_back(word);
      const test::RunResult packed = test::RunImgweld(args, work);
      EXPECT_EQ(packed.exitCode, 0) << word << packed.output;
      EXPECT_NE(test::ReadText(work + "/out/Firmware.img"), "earlier image");
      test::WriteText(work + "/out/Firmware.img", "earlier image");
    }
  }
}

TEST(StrictPack, CleanConfigurationsPackAsWithoutTheWord) {
  test::TempDir dir;
  const std::string work = dir.Path().string();
  for (const char* board : {"board", "gpt-board", "gpt-compact", "nano-board"}) {
    SCOPED_TRACE(board);
    const std::string config = test::SourceDir() + "/examples/" + board + "/setting.ini";
    fs::create_directories(dir.Path() / board / "plain");
    fs::create_directories(dir.Path() / board / "strict");
    const std::string plainDir = std::string(board) + "/plain";
    const std::string strictDir = std::string(board) + "/strict";
    const test::RunResult plain = test::RunImgweld({"-P", config, plainDir}, work);
    const test::RunResult strict = test::RunImgweld({"-P", config, strictDir, "strict"}, work);
    ASSERT_EQ(plain.exitCode, 0) << plain.output;
    EXPECT_EQ(strict.exitCode, 0) << strict.output;
    // Only the saving directory in the messages differs.
    std::string expected = plain.output;
    for (size_t at = expected.find(plainDir); at != std::string::npos;
         at = expected.find(plainDir, at + strictDir.size())) {
      expected.replace(at, plainDir.size(), strictDir);
    }
    EXPECT_EQ(strict.output, expected);
  }
}

// A partition-table configuration without type GUIDs is warned about on
// standard output as the run starts; a strict run refuses it first.
TEST(StrictPack, MissingTypeGuidSectionRefusesAPartitionTableImage) {
  test::TempDir dir;
  const std::string work = dir.Path().string();
  fs::copy(test::SourceDir() + "/examples/gpt-compact", dir.Path() / "board");
  fs::copy(test::SourceDir() + "/examples/gpt-board", dir.Path() / "gpt-board");
  std::string config = test::ReadText(work + "/board/setting.ini");
  for (const std::string_view line :
       {"[PARTITION_TYPE_GUID]\n", "linux=0FC63DAF-8483-4772-8E79-3D69D8477DE4\n",
        "Type_Guid=linux\n", "Type_Guid=linux\n"}) {
    const size_t at = config.find(std::string(line));
    ASSERT_NE(at, std::string::npos) << line;
    config.erase(at, line.size());
  }
  test::WriteText(work + "/board/setting.ini", config);
  fs::create_directories(dir.Path() / "out");
  const test::RunResult refused =
      test::RunImgweld({"-P", "board/setting.ini", "out", "strict"}, work);
  EXPECT_EQ(refused.exitCode, 3);
  EXPECT_EQ(refused.output,
            "Packing Error:strict: board/setting.ini: [PARTITION_TYPE_GUID]: missing, so every "
            "type GUID is random\r\n");
  EXPECT_TRUE(fs::is_empty(dir.Path() / "out"));
}

}  // namespace
}  // namespace imgweld
