// What standard error adds to a failure or a likely mistake: one line in the
// form "imgweld: <where>: <what>" that names the partition, key, file and
// reason, while standard output stays exactly what it was.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "support/TestSupport.h"

namespace imgweld {
namespace {

namespace fs = std::filesystem;

std::string Quote(const std::string& text) { return "'" + text + "'"; }

// The example board with one text replaced in its configuration.
void EditConfig(const std::string& board, const std::string& from, const std::string& to) {
  std::string config = test::ReadText(board + "/setting.ini");
  const size_t at = config.find(from);
  ASSERT_NE(at, std::string::npos) << from;
  config.replace(at, from.size(), to);
  test::WriteText(board + "/setting.ini", config);
}

TEST(Diagnostics, FailuresAndMistakesAreExplainedOnStandardError) {
  test::TempDir dir;
  const std::string work = dir.Path().string();
  fs::copy(test::SourceDir() + "/examples/board", dir.Path() / "pristine");
  fs::create_directories(dir.Path() / "gpt");
  ASSERT_EQ(
      test::RunImgweld({"-P", test::SourceDir() + "/examples/gpt-board/setting.ini", "gpt"}, work)
          .exitCode,
      0);
  const struct {
    const char* what;
    std::function<void(const std::string&)> prepare;  // given the copy of the board
    std::string args;                                 // "" packs the board into out
    int exitCode;
    std::string stdoutEnd;
    std::string stderrText;
  } cases[] = {
      {"missing partition file", [](const std::string& b) { fs::remove(b + "/uboot.img"); }, "", 3,
       "Packing Error:Getting UserPart failed!\r\n",
       "imgweld: [UserPart2] File=uboot.img: partition uboot: No such file or directory\n"},
      {"no File key", [](const std::string& b) { EditConfig(b, "File=uboot.img\n", ""); }, "", 3,
       "Packing Error:Getting UserPart failed!\r\n",
       "imgweld: [UserPart2]: partition uboot has no File key\n"},
      {"directory as payload",
       [](const std::string& b) {
         fs::remove(b + "/uboot.img");
         fs::create_directory(b + "/uboot.img");
       },
       "", 3, "Packing Error:Getting UserPart failed!\r\n",
       "imgweld: [UserPart2] File=uboot.img: partition uboot: is a directory, not a regular "
       "file\n"},
      {"payload larger than its partition",
       [](const std::string& b) { fs::resize_file(b + "/uboot.img", 0x40 * 512 + 1); }, "", 3,
       "Packing Error:file length is larger than part size, uboot.img\r\n",
       "imgweld: uboot.img: partition uboot: the file has 32769 bytes (65 sectors), the "
       "partition 64 sectors (32768 bytes)\n"},
      {"directory as configuration",
       [](const std::string& b) { fs::create_directory(b + "/dir.ini"); }, "-P board/dir.ini out",
       3, "Packing Error:loading board/dir.ini failed!\r\n",
       "imgweld: board/dir.ini: is a directory, not a regular file\n"},
      {"key typo, packed all the same",
       [](const std::string& b) {
         EditConfig(b, "PartOffset=0xC0", "PartOffset=0xC0\nPartOfset=1");
       },
       "", 0, "Generating firmware OK.\r\n",
       "imgweld: board/setting.ini: [UserPart2]: unknown key \"PartOfset\" is ignored; did you "
       "mean \"PartOffset\"?\n"},
      {"unpacking a partition-table image",
       {},
       "-U gpt/Firmware.img parts",
       4,
       "UnPacking Error:Opening gpt/Firmware.md5 failed, err=2!\r\n",
       "imgweld: gpt/Firmware.md5: No such file or directory\n"
       "imgweld: gpt/Firmware.img: a partition-table image (Gpt_Enable), which is not unpacked; "
       "take it apart into a rebuild kit with imgweld -X gpt/Firmware.img <dir>, or list it with "
       "imgweld -L gpt/Firmware.img\n"},
      {"unpacking a partition-table image without verifying",
       {},
       "-U gpt/Firmware.img parts offcheck",
       4,
       "UnPacking Error:Tag of firmware is wrong, tag=0x0!\r\n",
       "imgweld: gpt/Firmware.img: a partition-table image (Gpt_Enable), which is not unpacked; "
       "take it apart into a rebuild kit with imgweld -X gpt/Firmware.img <dir>, or list it with "
       "imgweld -L gpt/Firmware.img\n"},
      {"unpacking without a hash file",
       [](const std::string& b) { test::WriteBytes(b + "/alone.img", test::RandomBytes(4096, 1)); },
       "-U board/alone.img parts", 4, "UnPacking Error:Opening board/alone.md5 failed, err=2!\r\n",
       "imgweld: board/alone.md5: No such file or directory\n"
       "imgweld: board/alone.img: no hash file board/alone.md5 beside it; add offcheck to unpack "
       "it without verifying\n"},
      // The system's reason for every failed call, beside the number the
      // error line on standard output gives (or does not give).
      {"missing configuration",
       {},
       "-P board/missing.ini out",
       3,
       "Packing Error:loading board/missing.ini failed!\r\n",
       "imgweld: board/missing.ini: No such file or directory\n"},
      {"missing saving directory",
       {},
       "-P board/setting.ini nowhere",
       3,
       "Packing Error:Stat nowhere failed,errno=2!\r\n",
       "imgweld: nowhere: No such file or directory\n"},
      {"missing output directory",
       {},
       "-U gpt/Firmware.img nowhere",
       4,
       "UnPacking Error:Stat nowhere/ failed, errno=2!\r\n",
       "imgweld: nowhere/: No such file or directory\n"},
      {"output directory that is a file",
       {},
       "-U gpt/Firmware.img board/setting.ini",
       4,
       "UnPacking Error:Stat board/setting.ini/ failed, errno=20!\r\n",
       "imgweld: board/setting.ini/: Not a directory\n"},

  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(dir.Path() / "board");
    fs::copy(dir.Path() / "pristine", dir.Path() / "board");
    for (const char* sub : {"out", "parts"}) {
      fs::remove_all(dir.Path() / sub);
      fs::create_directory(dir.Path() / sub);
    }
    if (c.prepare) c.prepare(work + "/board");
    const std::string args = c.args.empty() ? "-P board/setting.ini out" : c.args;
    const test::RunResult run = test::RunShell("cd " + Quote(work) + " && " + test::ImgweldExe() +
                                               " " + args + " 2>err.txt </dev/null");
    EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
    EXPECT_TRUE(run.output.ends_with(c.stdoutEnd)) << run.output;
    EXPECT_EQ(run.output.find("imgweld:"), std::string::npos) << run.output;
    EXPECT_EQ(test::ReadText(work + "/err.txt"), c.stderrText);
  }
}

}  // namespace
}  // namespace imgweld
