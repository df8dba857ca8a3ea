// A disk image of another tool names its partitions in UTF-16; -X takes
// only ASCII names, which come back as the same bytes through setting.ini
// and a file name. Any other character is refused before a file is written,
// also those of U+FF80 to U+FFFF, whose units the packer's own names widen
// their bytes 0x80 to 0xFF to.
#include <gtest/gtest.h>

#include <filesystem>

#include "cli/InspectTestSupport.h"
#include "support/TestSupport.h"

namespace imgweld::test {
namespace {

namespace fs = std::filesystem;

TEST(ForeignNameTest, NamesOtherThanAsciiAreRefusedBeforeAnyFile) {
  const struct {
    const char* name;  // UTF-8, as sgdisk takes it
    const char* shown;
  } cases[] = {
      {"\xEF\xBE\x9E"
       "ab",
       "\\x9Eab"},                  // U+FF9E: its unit is 0xFF9E
      {"caf\xC3\xA9", "caf\\xFF"},  // U+00E9, which no byte widens to
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shown);
    TempDir dir;
    const std::string disk = dir / "disk.img";
    ASSERT_EQ(RunShell("truncate -s 4M " + Quote(disk) +
                       " && sgdisk -n 1:2048:+64K -c 1:" + Quote(c.name) +
                       " -n 2:4096:+64K -c 2:plain " + Quote(disk) + " >/dev/null 2>&1")
                  .exitCode,
              0);
    fs::create_directory(dir / "kit");
    const Outcome kit = Imgweld({"-X", "disk.img", "kit"}, dir.Path());
    EXPECT_EQ(kit.exitCode, 4);
    EXPECT_EQ(kit.out, "");
    EXPECT_EQ(LinesStartingWith(kit.err, "imgweld: disk.img: "),
              std::vector<std::string>{"imgweld: disk.img: cannot be taken apart: entry 1 (" +
                                       std::string(c.shown) +
                                       ") has a name of characters other than ASCII"});
    EXPECT_TRUE(fs::is_empty(dir / "kit"));
  }
}

// Names that differ in ASCII letter case alone are one file on a
// case-folding file system: the later one is numbered, as -U numbers a
// repeated name, and the kit packs the same partitions back.
TEST(ForeignNameTest, NamesThatDifferInCaseAloneGetFilesOfTheirOwn) {
  TempDir dir;
  const std::string disk = dir / "disk.img";
  ASSERT_EQ(RunShell("truncate -s 4M " + Quote(disk) +
                     " && sgdisk -n 1:2048:+64K -c 1:Boot -n 2:4096:+64K -c 2:boot "
                     "-n 3:6144:+64K -c 3:BOOT " +
                     Quote(disk) + " >/dev/null 2>&1")
                .exitCode,
            0);
  fs::create_directory(dir / "kit");
  const Outcome kit = Imgweld({"-X", "disk.img", "kit"}, dir.Path());
  ASSERT_EQ(kit.exitCode, 0) << kit.err;
  EXPECT_EQ(kit.out, "Boot.img\nboot.img.2\nBOOT.img.3\nsetting.ini\n");
  const std::string settings = ReadText(dir / "kit/setting.ini");
  for (const char* file : {"File=Boot.img\n", "File=boot.img.2\n", "File=BOOT.img.3\n"}) {
    EXPECT_NE(settings.find(file), std::string::npos) << file << settings;
  }
  fs::create_directory(dir / "out");
  const Outcome packed = Imgweld({"-P", "kit/setting.ini", "out"}, dir.Path());
  ASSERT_EQ(packed.exitCode, 0) << packed.out;
  EXPECT_EQ(RunShell("sgdisk -p " + Quote(dir / "out/Firmware.img") + " | tail -n 3").output,
            RunShell("sgdisk -p " + Quote(disk) + " | tail -n 3").output);
}

}  // namespace
}  // namespace imgweld::test
