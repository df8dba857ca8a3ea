// What a failed pack leaves in the saving directory: the earlier image and
// hash file byte for byte (or none where there were none), whichever step
// fails: an input that changes between planning and copying, a refused
// rename of either file, an immutable hash file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/AtomicFile.h"
#include "pack/ImagePlan.h"
#include "pack/PackFirmware.h"
#include "pack/PackTestSupport.h"
#include "support/TestSupport.h"

namespace imgweld::test {
namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

void AppendBytes(const std::string& path, const Bytes& bytes) {
  Bytes all = ReadBytes(path);
  all.insert(all.end(), bytes.begin(), bytes.end());
  WriteBytes(path, all);
}

std::vector<std::string> ErrorLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while ((at = text.find("Packing Error:", at)) != std::string::npos) {
    const size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end == std::string::npos ? end : end + 1 - at));
    at += 1;
  }
  return lines;
}

// The final name whose rename is refused, and with which error.
std::string refusedName;
int RefusingRename(int fromDir, const char* from, int toDir, const char* to) {
  if (refusedName == to) {
    errno = EACCES;
    return -1;
  }
  return renameat(fromDir, from, toDir, to);
}

// Refuses the hash file's rename, and then putting the earlier image back
// (every rename to the image's name after the first).
int renamesToImage = 0;
int RefusingHashAndRestore(int fromDir, const char* from, int toDir, const char* to) {
  const std::string name = to;
  if (name == "Firmware.md5" || (name == "Firmware.img" && ++renamesToImage > 1)) {
    errno = EACCES;
    return -1;
  }
  return renameat(fromDir, from, toDir, to);
}

class PackSafetyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(cfgDir_);
    fs::create_directories(outDir_);
    WriteBytes(cfgDir_ + "/ddr.bin", RandomBytes(4096, 1));
    WriteBytes(cfgDir_ + "/loader.bin", RandomBytes(10000, 2));
    WriteBytes(cfgDir_ + "/kernel.img", RandomBytes(3000, 3));
  }
  void TearDown() override {
    SetBeforeWritingHook({});
    AtomicFile::SetRenameCall(nullptr);
  }

  std::string Config(const std::string& gpt = "") const {
    return "[System]\nFwVersion=1.2.3\nChip=AB\nModel=test\nGpt_Enable=" + gpt + "\n" +
           PartSection(1, "IDBlock", "0x2", "0x40", "0x800", "0", "ddr.bin,loader.bin") +
           PartSection(2, "kernel", "0x8", "0x1000", "0x100", "0", "kernel.img");
  }
  bool Pack(const std::string& config) {
    WriteText(cfgPath_, config);
    out_.Clear();
    return PackFirmware(cfgPath_, outDir_, out_, FixedPackTime());
  }
  // Packs once with other contents, so an earlier pair stands in out/, and
  // keeps a copy of it in before/.
  void PackEarlierPair(const std::string& config) {
    const Bytes kernel = ReadBytes(cfgDir_ + "/kernel.img");
    WriteBytes(cfgDir_ + "/kernel.img", RandomBytes(2000, 9));
    ASSERT_TRUE(Pack(config)) << out_.Text();
    WriteBytes(cfgDir_ + "/kernel.img", kernel);
    fs::remove_all(beforeDir_);
    fs::copy(outDir_, beforeDir_);
  }
  void ExpectEarlierFiles() {
    ASSERT_EQ(Entries(outDir_), Entries(beforeDir_));
    for (const std::string& name : Entries(beforeDir_)) {
      EXPECT_EQ(ReadBytes(outDir_ + "/" + name), ReadBytes(beforeDir_ + "/" + name)) << name;
    }
  }

  TempDir root_;
  std::string cfgDir_ = root_ / "cfg";
  std::string cfgPath_ = cfgDir_ + "/setting.ini";
  std::string outDir_ = root_ / "out";
  std::string beforeDir_ = root_ / "before";
  StringOutput out_;
};

// A payload or boot program written to between planning and copying fails
// the run with one error line naming it and what changed, whatever the
// change did to the copy (a grown file would be cut, a shrunk one fall
// short, a rewritten one mix two versions).
TEST_F(PackSafetyTest, InputsChangedAfterPlanningFailTheRun) {
  const struct {
    const char* what;
    std::string file;
    std::function<void(const std::string&)> change;
    std::string error;
  } cases[] = {
      {"payload grown", "kernel.img",
       [](const std::string& path) { AppendBytes(path, RandomBytes(100, 4)); },
       "Packing Error:kernel.img changed while packing, its size went from 3000 to 3100 "
       "bytes!\r\n"},
      {"payload shrunk", "kernel.img", [](const std::string& path) { fs::resize_file(path, 10); },
       "Packing Error:kernel.img changed while packing, its size went from 3000 to 10 bytes!\r\n"},
      {"payload rewritten in place", "kernel.img",
       [](const std::string& path) {
         WriteBytes(path, RandomBytes(3000, 5));
         const auto later = fs::last_write_time(path) + std::chrono::seconds(2);
         fs::last_write_time(path, later);
       },
       "Packing Error:kernel.img changed while packing, it was modified after it was "
       "measured!\r\n"},
      {"loader grown", "loader.bin",
       [](const std::string& path) { AppendBytes(path, RandomBytes(512, 6)); },
       "Packing Error:loader.bin changed while packing, its size went from 10000 to 10512 "
       "bytes!\r\n"},
  };
  for (const std::string gpt : {"", "0"}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (gpt.empty() ? " (tagged)" : " (partition table)"));
      WriteBytes(cfgDir_ + "/ddr.bin", RandomBytes(4096, 1));
      WriteBytes(cfgDir_ + "/loader.bin", RandomBytes(10000, 2));
      WriteBytes(cfgDir_ + "/kernel.img", RandomBytes(3000, 3));
      PackEarlierPair(Config(gpt));
      const std::string path = cfgDir_ + "/" + c.file;
      SetBeforeWritingHook([&] { c.change(path); });
      EXPECT_FALSE(Pack(Config(gpt)));
      SetBeforeWritingHook({});
      EXPECT_EQ(ErrorLines(out_.Text()), std::vector<std::string>{c.error}) << out_.Text();
      EXPECT_NE(out_.Diagnostics().find("imgweld: " + c.file + ": measured "), std::string::npos)
          << out_.Diagnostics();
      ExpectEarlierFiles();
    }
  }
}

// Either rename refused: the directory holds the earlier pair, or nothing
// when there was none; the image never stands beside a hash file of another
// run, and no hidden file is left.
TEST_F(PackSafetyTest, RefusedRenameLeavesTheEarlierPairOrNothing) {
  for (const bool earlier : {true, false}) {
    for (const std::string name : {"Firmware.img", "Firmware.md5"}) {
      SCOPED_TRACE(name + (earlier ? " over an earlier pair" : " into an empty directory"));
      fs::remove_all(outDir_);
      fs::create_directories(outDir_);
      if (earlier) {
        PackEarlierPair(Config());
      } else {
        fs::remove_all(beforeDir_);
        fs::create_directories(beforeDir_);
      }
      refusedName = name;
      AtomicFile::SetRenameCall(&RefusingRename);
      EXPECT_FALSE(Pack(Config()));
      AtomicFile::SetRenameCall(nullptr);
      EXPECT_EQ(ErrorLines(out_.Text()),
                std::vector<std::string>{"Packing Error:Renaming to " + outDir_ + "/" + name +
                                         " failed, err=13!\r\n"});
      ExpectEarlierFiles();
    }
  }
  // The partition-table image goes through the same commit, alone.
  PackEarlierPair(Config("0"));
  refusedName = "Firmware.img";
  AtomicFile::SetRenameCall(&RefusingRename);
  EXPECT_FALSE(Pack(Config("0")));
  AtomicFile::SetRenameCall(nullptr);
  ExpectEarlierFiles();
}

// An immutable hash file cannot be replaced; the new image must not stay
// beside it.
TEST_F(PackSafetyTest, ImmutableHashFileKeepsTheEarlierImage) {
  PackEarlierPair(Config());
  const std::string hash = outDir_ + "/Firmware.md5";
  if (RunShell("chattr +i '" + hash + "' 2>/dev/null").exitCode != 0) {
    GTEST_SKIP() << "this file system does not support chattr +i";
  }
  const bool packed = Pack(Config());
  RunShell("chattr -i '" + hash + "'");
  EXPECT_FALSE(packed);
  EXPECT_EQ(ErrorLines(out_.Text()),
            std::vector<std::string>{"Packing Error:Renaming to " + hash + " failed, err=1!\r\n"});
  ExpectEarlierFiles();
}

// The hash file's rename refused and the earlier image not put back either:
// the earlier image stays whole under its hidden name, and standard error
// names that file and where it belongs, so it is not lost unnoticed.
TEST_F(PackSafetyTest, EarlierImageNotPutBackIsNamed) {
  PackEarlierPair(Config());
  renamesToImage = 0;
  AtomicFile::SetRenameCall(&RefusingHashAndRestore);
  EXPECT_FALSE(Pack(Config()));
  AtomicFile::SetRenameCall(nullptr);
  EXPECT_EQ(ErrorLines(out_.Text()),
            std::vector<std::string>{"Packing Error:Renaming to " + outDir_ +
                                     "/Firmware.md5 failed, err=13!\r\n"});
  const std::vector<std::string> entries = Entries(outDir_);
  ASSERT_EQ(entries.size(), 3u) << ::testing::PrintToString(entries);
  const std::string hidden = entries[0];
  EXPECT_TRUE(hidden.starts_with(".Firmware.img.imgweld-")) << hidden;
  EXPECT_EQ(ReadBytes(outDir_ + "/" + hidden), ReadBytes(beforeDir_ + "/Firmware.img"));
  EXPECT_EQ(ReadBytes(outDir_ + "/Firmware.md5"), ReadBytes(beforeDir_ + "/Firmware.md5"));
  // Then the reason of the refused rename the error line numbers.
  EXPECT_EQ(out_.Diagnostics(), "imgweld: " + outDir_ + "/" + hidden + ": holds the earlier " +
                                    outDir_ +
                                    "/Firmware.img, which could not be put back (Permission "
                                    "denied)\nimgweld: " +
                                    outDir_ + "/Firmware.md5: Permission denied\n");
}

}  // namespace
}  // namespace imgweld::test
